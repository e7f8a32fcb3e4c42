#include "framework/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>

namespace {

TOpenDialogRunner& InstalledRunner()
{
    static TOpenDialogRunner runner;
    return runner;
}

std::optional<AnsiString> RunQtDialog(const TOpenDialog& Dialog)
{
    QFileDialog dialog(QApplication::activeWindow(), QString::fromUtf8("開く"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile); // the chosen file need not exist
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    dialog.setNameFilters(QtNameFilters(Dialog.Filter));
    if (!Dialog.FileName.empty())
        dialog.selectFile(FileNameToQString(Dialog.FileName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return FileNameFromQString(dialog.selectedFiles().first());
}

bool HasExtension(const AnsiString& Path)
{
    // The dialog gives '/'-separated paths; neither '/' nor '.' can be the
    // second byte of a double-byte character.
    auto slash = Path.find_last_of('/');
    return Path.find('.', slash == AnsiString::npos ? 0 : slash + 1) != AnsiString::npos;
}

} // namespace

TOpenDialog::TOpenDialog(TComponent* Owner) : TComponent(Owner) {}

bool TOpenDialog::Execute()
{
    const TOpenDialogRunner& runner = InstalledRunner();
    std::optional<AnsiString> chosen = runner ? runner(*this) : RunQtDialog(*this);
    if (!chosen)
        return false;
    FileName = *chosen;
    if (!DefaultExt.empty() && !FileName.empty() && !HasExtension(FileName) &&
        !QFileInfo::exists(FileNameToQString(FileName)))
        FileName += "." + DefaultExt;
    return true;
}

TOpenDialogRunner SetOpenDialogRunner(TOpenDialogRunner Runner)
{
    std::swap(InstalledRunner(), Runner);
    return Runner;
}

QStringList QtNameFilters(const AnsiString& Filter)
{
    QStringList parts = ToQString(Filter).split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList masks = parts[i + 1].split(u';', Qt::SkipEmptyParts);
        filters << parts[i] + " (" + masks.join(u' ') + ")";
    }
    return filters;
}
