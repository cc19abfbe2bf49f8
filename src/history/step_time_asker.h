// The step-time question of each run start, asked where the bench does not wait: on a thread of
// its own, through a connection of its own to the store. A store that is slow, locked, stalled
// or unreachable delays only the answer; the run's steps go on with the typical durations.
#pragma once

#include <memory>
#include <string>

#include "functest/progress.h"

namespace history {

class StepTimeAsker : public functest::EstimateSource {
 public:
  explicit StepTimeAsker(std::string location);  // empty: configuredStoreLocation()
  ~StepTimeAsker() override;
  StepTimeAsker(const StepTimeAsker &) = delete;
  StepTimeAsker &operator=(const StepTimeAsker &) = delete;

  // A question still out (a stalled server) is not put again: its answer, whenever it comes,
  // is the next run's.
  void ask() override;
  // After kLateSeconds without an answer, once: why there is none.
  std::optional<functest::StepEstimates> answer() override;
  // Whether a question is out (its thread has not answered).
  bool pending() const;

  static constexpr double kLateSeconds = 5;

 private:
  struct Shared;
  std::string location_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace history
