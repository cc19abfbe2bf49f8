// The operator's pop-ups as Qt dialogs: messages, yes/no confirmations and file selection.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <string>

#include "rt/runtime.h"

class QWidget;

namespace gui {

// File dialog name filters from a type list such as "*.txt; *.dat" (separated by ';' or
// blanks), followed by "All files (*)".
QStringList nameFilters(const std::string &typeList);

// The folder a file dialog starts in. A folder on a Windows drive ("C:\", "c:\TempMeasures")
// starts in the operator's home folder, or in the same sub-folder of it when that exists; an
// empty one in the current folder.
QString startDirectory(const std::string &directory);

// Tells the operator why the program cannot start (a panel file that cannot be loaded), in a
// dialog rather than only on a terminal nobody looks at.
void showStartFailure(const std::string &reason);

class DialogOperator : public rt::Operator {
 public:
  // `parent` gives the window the dialogs belong to; `beforePopup` runs before each dialog
  // shows (the screen is brought up to date behind it).
  DialogOperator(std::function<QWidget *()> parent, std::function<void()> beforePopup)
      : parent_(std::move(parent)), beforePopup_(std::move(beforePopup)) {}

  void messagePopup(const std::string &title, const std::string &message) override;
  bool confirmPopup(const std::string &title, const std::string &message) override;
  rt::FileSelect fileSelectPopup(const rt::FileRequest &request, std::string &path) override;

 private:
  QWidget *parent() const;
  std::function<QWidget *()> parent_;
  std::function<void()> beforePopup_;
};

}  // namespace gui
