# Installs the validators of tools/openapi into the build tree with `npm ci`, exactly as
# package-lock.json pins them; does nothing when they are installed from the same lock file.
#
#   cmake -DNPM=<npm> -DSOURCE=<tools/openapi> -DTARGET=<dir in the build tree> -P npm_ci.cmake
if(NOT NPM OR NOT EXISTS "${NPM}")
  message(FATAL_ERROR "npm is needed to check the OpenAPI documents; scripts/setup.sh test "
                      "installs Node.js and npm when they are missing")
endif()
file(MAKE_DIRECTORY "${TARGET}")
file(SHA256 "${SOURCE}/package.json" wanted_package)
file(SHA256 "${SOURCE}/package-lock.json" wanted_lock)
if(EXISTS "${TARGET}/node_modules/.package-lock.json" AND EXISTS "${TARGET}/package.json"
   AND EXISTS "${TARGET}/package-lock.json")
  file(SHA256 "${TARGET}/package.json" installed_package)
  file(SHA256 "${TARGET}/package-lock.json" installed_lock)
  if(installed_package STREQUAL wanted_package AND installed_lock STREQUAL wanted_lock)
    message(STATUS "The OpenAPI validators are installed in ${TARGET}")
    return()
  endif()
endif()
file(COPY "${SOURCE}/package.json" "${SOURCE}/package-lock.json" DESTINATION "${TARGET}")
execute_process(COMMAND "${NPM}" ci --no-audit --no-fund --ignore-scripts
                WORKING_DIRECTORY "${TARGET}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${TARGET}/package-lock.json")
  message(FATAL_ERROR "npm ci failed in ${TARGET}")
endif()
