// An operator for the tests of the record, capture and replay buttons: answers file selections
// from a queue (cancel when empty) and keeps every message pop-up.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "rt/runtime.h"

namespace acqtest {

class Popups : public rt::Operator {
 public:
  void messagePopup(const std::string &title, const std::string &message) override {
    messages.push_back(title + ": " + message);
  }
  bool confirmPopup(const std::string &, const std::string &) override { return false; }
  rt::FileSelect fileSelectPopup(const rt::FileRequest &request, std::string &path) override {
    requests.push_back(request);
    if (choices.empty() || !choices.front()) {
      if (!choices.empty()) choices.pop_front();
      return rt::FileSelect::Cancelled;
    }
    path = *choices.front();
    choices.pop_front();
    return rt::FileSelect::New;
  }

  std::deque<std::optional<std::string>> choices;
  std::vector<rt::FileRequest> requests;
  std::vector<std::string> messages;
};

}  // namespace acqtest
