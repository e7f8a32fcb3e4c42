#include "framework/forms.h"

#include "framework/application.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QKeyEvent>
#include <QPushButton>

const char* const CancelProperty = "nimboCancelButton";

// The top-level widget of a form. It turns window-system events into the
// form's messages and lets Enter press the form's default button.
class TForm::FormWidget : public QWidget {
public:
    explicit FormWidget(TForm* form) : FForm(form) {}

protected:
    bool event(QEvent* e) override
    {
        switch (e->type()) {
        case QEvent::WindowActivate:
        case QEvent::WindowDeactivate: {
            TWMActivate message;
            message.Active = e->type() == QEvent::WindowActivate ? WA_ACTIVE : WA_INACTIVE;
            message.Minimized = isMinimized();
            DispatchEvent([&] { FForm->WMActivate(message); });
            break;
        }
        default:
            break;
        }
        return QWidget::event(e);
    }

    // The form follows what the user does to its window (the title bar's
    // button, the taskbar). The form's own calls set its state themselves,
    // and what the window system reports for a hidden window (on X11 a
    // withdrawn window is no longer iconic) is not the user's doing.
    void changeEvent(QEvent* e) override
    {
        if (e->type() == QEvent::WindowStateChange && e->spontaneous() && isVisible())
            FForm->StateChanged(isMinimized() ? wsMinimized : wsNormal);
        QWidget::changeEvent(e);
    }

    // Closing the main window ends the program, also while other windows
    // (the keyword editor) are open.
    void closeEvent(QCloseEvent* e) override
    {
        QWidget::closeEvent(e);
        if (e->isAccepted() && Application && Application->MainForm == FForm)
            Application->Terminate();
    }

    void keyPressEvent(QKeyEvent* e) override
    {
        bool enter = e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
        bool escape = e->key() == Qt::Key_Escape;
        if (enter || escape) {
            for (QPushButton* button : findChildren<QPushButton*>()) {
                bool wanted = enter ? button->isDefault() : button->property(CancelProperty).toBool();
                if (wanted && button->isEnabled() && button->isVisibleTo(this)) {
                    button->click();
                    return;
                }
            }
        }
        QWidget::keyPressEvent(e);
    }

private:
    TForm* FForm;
};

TControl::TControl(TComponent* Owner, QWidget* Widget) : TComponent(Owner), FWidget(Widget) {}

TControl::~TControl()
{
    delete FWidget.data();
}

void TControl::SetBounds(int Left, int Top, int Width, int Height)
{
    FWidget->setGeometry(Left, Top, Width, Height);
}

int TControl::Width() const { return FWidget->width(); }
int TControl::Height() const { return FWidget->height(); }
bool TControl::Enabled() const { return FWidget->isEnabled(); }
void TControl::SetEnabled(bool Value) { FWidget->setEnabled(Value); }
bool TControl::Visible() const { return FWidget->isVisible(); }
void TControl::SetVisible(bool Value) { FWidget->setVisible(Value); }
void TControl::SetFocus() { FWidget->setFocus(); }

TForm::TForm(TComponent* Owner) : TControl(Owner, new FormWidget(this))
{
    Widget()->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}

TForm::~TForm() = default;

AnsiString TForm::Caption() const { return FCaption; }

void TForm::SetCaption(const AnsiString& Value)
{
    FCaption = Value;
    ShowCaption();
}

void TForm::ShowCaption()
{
    QString caption = ToQString(FCaption);
    Widget()->setWindowTitle(FHighlighted ? QString::fromUtf8("★ ") + caption + QString::fromUtf8(" ★") : caption);
}

void TForm::FlashWindow(bool Invert)
{
    FHighlighted = Invert && !FHighlighted;
    ShowCaption();
    if (FHighlighted)
        QApplication::alert(Widget()); // the taskbar entry's urgency until the window is activated
}

void TForm::SetFixedClientSize(int Width, int Height)
{
    Widget()->setFixedSize(Width, Height);
}

int TForm::ClientWidth() const { return Widget()->width(); }
int TForm::ClientHeight() const { return Widget()->height(); }

void TForm::SetFont(const QStringList& Families, int PixelHeight)
{
    QFont font = Widget()->font();
    font.setFamilies(Families);
    font.setPixelSize(PixelHeight);
    Widget()->setFont(font);
}

// Showing a minimised form is the application minimising itself: the main
// form's after-minimise event runs, as for any other minimise.
void TForm::Show()
{
    if (FWindowState == wsNormal || Widget()->isVisible())
        return Widget()->show();
    Widget()->showMinimized();
    NotifyState();
}

void TForm::Hide()
{
    Widget()->hide();
}

void TForm::SetWindowState(TWindowState State)
{
    if (State == wsMinimized) {
        if (Widget()->isVisible())
            Widget()->showMinimized();
    } else {
        Widget()->showNormal();
        Widget()->raise();
        Widget()->activateWindow();
    }
    StateChanged(State);
}

void TForm::StateChanged(TWindowState State)
{
    if (State == FWindowState)
        return;
    FWindowState = State;
    NotifyState();
}

void TForm::NotifyState()
{
    if (!Application || Application->MainForm != this)
        return;
    if (FWindowState == wsMinimized)
        Application->NotifyMinimized();
    else
        Application->NotifyRestored();
}

bool TForm::Active() const
{
    return Widget()->isActiveWindow();
}

void TForm::WMActivate(TWMActivate&) {}
void TForm::WMUser(TMessage&) {}
