#include "gui/dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>

namespace gui {

namespace {
QString qs(const std::string &s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
bool hasWildcard(const QString &s) { return s.contains('*') || s.contains('?'); }
}  // namespace

QStringList nameFilters(const std::string &typeList) {
  QStringList patterns;
  for (const QString &p : qs(typeList).split(QRegularExpression("[;,\\s]+"), Qt::SkipEmptyParts))
    if (!patterns.contains(p)) patterns << p;
  QStringList filters;
  if (!patterns.isEmpty() && patterns != QStringList{"*"} && patterns != QStringList{"*.*"})
    filters << QStringLiteral("Files (%1)").arg(patterns.join(' '));
  filters << QStringLiteral("All files (*)");
  return filters;
}

QString startDirectory(const std::string &directory) {
  QString d = qs(directory).trimmed();
  if (d.isEmpty()) return QDir::currentPath();
  static const QRegularExpression drive("^[A-Za-z]:([\\\\/]|$)");
  auto m = drive.match(d);
  if (!m.hasMatch()) return d;
  QString rest = d.mid(m.capturedLength()).replace('\\', '/');
  QString home = QDir::homePath();
  if (!rest.isEmpty()) {
    QString sub = QDir(home).filePath(rest);
    if (QFileInfo(sub).isDir()) return QDir::cleanPath(sub);
  }
  return home;
}

void showStartFailure(const std::string &reason) {
  QMessageBox box(QMessageBox::Critical, QStringLiteral("Tessock cannot start"),
                  QStringLiteral("The program cannot start: a panel file could not be loaded."),
                  QMessageBox::Close);
  box.setInformativeText(qs(reason) +
                         QStringLiteral("\n\nInstall the program's panel files again, or point "
                                        "--ui-dir at a folder that holds all five."));
  box.exec();
}

QWidget *DialogOperator::parent() const {
  QWidget *w = QApplication::activeWindow();
  if (!w && parent_) w = parent_();
  return w;
}

void DialogOperator::messagePopup(const std::string &title, const std::string &message) {
  if (beforePopup_) beforePopup_();
  QMessageBox box(QMessageBox::Information, qs(title), qs(message), QMessageBox::Ok, parent());
  box.exec();
}

bool DialogOperator::confirmPopup(const std::string &title, const std::string &message) {
  if (beforePopup_) beforePopup_();
  QMessageBox box(QMessageBox::Question, qs(title), qs(message), QMessageBox::Yes | QMessageBox::No,
                  parent());
  box.setDefaultButton(QMessageBox::Yes);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

rt::FileSelect DialogOperator::fileSelectPopup(const rt::FileRequest &request, std::string &path) {
  if (beforePopup_) beforePopup_();
  QFileDialog dlg(parent(), qs(request.title), startDirectory(request.defaultDirectory));
  dlg.setOption(QFileDialog::DontUseNativeDialog, true);
  QStringList filters = nameFilters(request.typeList);
  QString pattern = qs(request.defaultPattern).trimmed();
  if (hasWildcard(pattern)) {
    QString f = QStringLiteral("Files (%1)").arg(pattern);
    if (!filters.contains(f)) filters.prepend(f);
  }
  dlg.setNameFilters(filters);
  if (request.save) {
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    // The program decides what to do with an existing file (a record file is appended to).
    dlg.setOption(QFileDialog::DontConfirmOverwrite, true);
  } else {
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
  }
  if (!request.allowMakeDirectory) dlg.setOption(QFileDialog::ReadOnly, true);
  if (!pattern.isEmpty() && !hasWildcard(pattern)) dlg.selectFile(pattern);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) {
    path.clear();
    return rt::FileSelect::Cancelled;
  }
  QString chosen = dlg.selectedFiles().first();
  path = QDir::toNativeSeparators(chosen).toStdString();
  return QFileInfo::exists(chosen) ? rt::FileSelect::Existing : rt::FileSelect::New;
}

}  // namespace gui
