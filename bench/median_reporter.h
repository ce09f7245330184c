// A console reporter that also keeps each case's counters, from its single run or, with
// repetitions, from their median, so that a benchmark can end its report with ratios between
// cases of one run.
//
//   class Ratios : public bench::MedianReporter {
//     void Finalize() override {
//       MedianReporter::Finalize();
//       double const* ours = Figure("Ours", "callers:1", "calls_per_s");
//       ...
//     }
//   };
#ifndef BENCH_MEDIAN_REPORTER_H_
#define BENCH_MEDIAN_REPORTER_H_

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace bench {

class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(std::vector<Run> const& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (auto const& run : runs) {
      if (run.error_occurred) continue;
      bool const single = run.run_type == Run::RT_Iteration;
      if (!single && run.aggregate_name != "median") continue;
      for (auto const& counter : run.counters) {
        auto key = std::make_tuple(run.run_name.function_name, run.run_name.args, counter.first);
        // A single run's figure is kept until a median of the same case replaces it.
        if (single) {
          figures_.emplace(key, counter.second.value);
        } else {
          figures_[key] = counter.second.value;
        }
      }
    }
  }

 protected:
  // The counter `counter` of the case `name` with arguments `args` ("callers:8"); null when
  // the case was not measured or failed.
  double const* Figure(std::string const& name, std::string const& args,
                       std::string const& counter) const {
    auto found = figures_.find(std::make_tuple(name, args, counter));
    return found == figures_.end() ? nullptr : &found->second;
  }

 private:
  std::map<std::tuple<std::string, std::string, std::string>, double> figures_;
};

}  // namespace bench

#endif  // BENCH_MEDIAN_REPORTER_H_
