#include "framework/controls.h"

#include "framework/application.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <limits>

TLabel::TLabel(TComponent* Owner, TControl* Parent, const AnsiString& Caption)
    : TControl(Owner, new QLabel(ToQString(Caption), Parent->Widget()))
{
}

AnsiString TLabel::Caption() const
{
    return FromQString(static_cast<QLabel*>(Widget())->text());
}

TEdit::TEdit(TComponent* Owner, TControl* Parent) : TEdit(Owner, new QLineEdit(Parent->Widget())) {}

TEdit::TEdit(TComponent* Owner, QWidget* Widget) : TControl(Owner, Widget)
{
    Edit()->setMaxLength(std::numeric_limits<int>::max()); // Qt's default cuts at 32767
    // A typed change is told (textEdited) before the change itself.
    QObject::connect(Edit(), &QLineEdit::textEdited, Widget, [this] { FTyped = true; });
    QObject::connect(Edit(), &QLineEdit::textChanged, Widget, [this] {
        FireEvent(OnChange, this);
        FTyped = false;
    });
    QObject::connect(Edit(), &QLineEdit::editingFinished, Widget, [this] { FireEvent(OnExit, this); });
}

QLineEdit* TEdit::Edit() const { return static_cast<QLineEdit*>(Widget()); }

AnsiString TEdit::Text() const
{
    return FHoldsFileName ? FileNameFromQString(Edit()->text()) : FromQString(Edit()->text());
}

AnsiString TEdit::Utf8Text() const
{
    const QByteArray utf8 = Edit()->text().toUtf8();
    return AnsiString(utf8.constData(), static_cast<size_t>(utf8.size()));
}

void TEdit::SetText(const AnsiString& Value)
{
    QString text = FHoldsFileName ? FileNameToQString(Value) : ToQString(Value);
    if (text != Edit()->text())
        Edit()->setText(text);
}

void TEdit::SetHoldsFileName(bool Value) { FHoldsFileName = Value; }

TMemo::TMemo(TComponent* Owner, TControl* Parent) : TControl(Owner, new QPlainTextEdit(Parent->Widget()))
{
    static_cast<QPlainTextEdit*>(Widget())->setTabChangesFocus(true);
}

AnsiString TMemo::Text() const
{
    return FromQString(static_cast<QPlainTextEdit*>(Widget())->toPlainText());
}

void TMemo::SetText(const AnsiString& Value)
{
    QString text = ToQString(Value);
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    static_cast<QPlainTextEdit*>(Widget())->setPlainText(text);
}

TButton::TButton(TComponent* Owner, TControl* Parent, const AnsiString& Caption)
    : TControl(Owner, new QPushButton(ToQString(Caption), Parent->Widget()))
{
    Button()->setAutoDefault(false);
    QObject::connect(Button(), &QPushButton::clicked, Widget(), [this] { FireEvent(OnClick, this); });
}

QPushButton* TButton::Button() const { return static_cast<QPushButton*>(Widget()); }
AnsiString TButton::Caption() const { return FromQString(Button()->text()); }
void TButton::SetCaption(const AnsiString& Value) { Button()->setText(ToQString(Value)); }
bool TButton::Default() const { return Button()->isDefault(); }
void TButton::SetDefault(bool Value) { Button()->setDefault(Value); }
void TButton::SetCancel(bool Value) { Button()->setProperty(CancelProperty, Value); }

void TButton::Click()
{
    if (Button()->isEnabled())
        Button()->click();
}

TCheckBox::TCheckBox(TComponent* Owner, TControl* Parent, const AnsiString& Caption)
    : TControl(Owner, new QCheckBox(ToQString(Caption), Parent->Widget()))
{
    QObject::connect(Box(), &QCheckBox::toggled, Widget(), [this] { FireEvent(OnClick, this); });
}

QCheckBox* TCheckBox::Box() const { return static_cast<QCheckBox*>(Widget()); }
AnsiString TCheckBox::Caption() const { return FromQString(Box()->text()); }
bool TCheckBox::Checked() const { return Box()->isChecked(); }
void TCheckBox::SetChecked(bool Value) { Box()->setChecked(Value); }

namespace {

// Two small arrow buttons stacked, as the up-down control draws them; the
// first child button is the up arrow.
QWidget* makeArrows(QWidget* parent)
{
    auto* widget = new QWidget(parent);
    auto* layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (Qt::ArrowType arrow : {Qt::UpArrow, Qt::DownArrow}) {
        auto* b = new QToolButton(widget);
        b->setArrowType(arrow);
        b->setAutoRepeat(true);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        b->setFocusPolicy(Qt::NoFocus);
        layout->addWidget(b);
    }
    return widget;
}

} // namespace

TUpDown::TUpDown(TComponent* Owner, TControl* Parent, TEdit* Associate, int Min, int Max, int Position)
    : TControl(Owner, makeArrows(Parent->Widget())), FAssociate(Associate), FMin(Min), FMax(Max), FPosition(Position)
{
    QList<QToolButton*> arrows = Widget()->findChildren<QToolButton*>();
    QObject::connect(arrows[0], &QToolButton::clicked, Widget(), [this] { DispatchEvent([this] { Step(+1); }); });
    QObject::connect(arrows[1], &QToolButton::clicked, Widget(), [this] { DispatchEvent([this] { Step(-1); }); });
    SetPosition(Position);
}

int TUpDown::Position() const
{
    const AnsiString text = FAssociate->Text();
    bool ok = false;
    int value = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())).trimmed().toInt(&ok, 10);
    if (ok && value >= FMin && value <= FMax)
        FPosition = value;
    return FPosition;
}

void TUpDown::SetPosition(int Value)
{
    FPosition = std::clamp(Value, FMin, FMax);
    FAssociate->SetText(std::to_string(FPosition));
}

void TUpDown::Step(int Delta)
{
    SetPosition(Position() + Delta);
}

TPageControl::TPageControl(TComponent* Owner, TControl* Parent)
    : TControl(Owner, new QTabWidget(Parent->Widget()))
{
}

QTabWidget* TPageControl::Tabs() const { return static_cast<QTabWidget*>(Widget()); }
int TPageControl::PageCount() const { return Tabs()->count(); }

TTabSheet* TPageControl::ActivePage() const
{
    int index = Tabs()->currentIndex();
    return index < 0 ? nullptr : FPages.at(static_cast<size_t>(index));
}

void TPageControl::SetActivePage(TTabSheet* Page)
{
    Tabs()->setCurrentWidget(Page->Widget());
}

TTabSheet::TTabSheet(TComponent* Owner, TPageControl* PageControl, const AnsiString& Caption)
    : TControl(Owner, new QWidget), FPageControl(PageControl)
{
    PageControl->Tabs()->addTab(Widget(), ToQString(Caption));
    PageControl->FPages.push_back(this);
}

AnsiString TTabSheet::Caption() const
{
    QTabWidget* tabs = FPageControl->Tabs();
    return FromQString(tabs->tabText(tabs->indexOf(Widget())));
}

TTimer::TTimer(TComponent* Owner) : TComponent(Owner), FTimer(new QTimer)
{
    FTimer->setInterval(1000);
    QObject::connect(FTimer, &QTimer::timeout, FTimer, [this] { FireEvent(OnTimer, this); });
}

TTimer::~TTimer() { delete FTimer; }
bool TTimer::Enabled() const { return FTimer->isActive(); }

void TTimer::SetEnabled(bool Value)
{
    if (Value)
        FTimer->start();
    else
        FTimer->stop();
}

int TTimer::Interval() const { return FTimer->interval(); }
void TTimer::SetInterval(int Ms) { FTimer->setInterval(Ms); }

TMenuItem::TMenuItem(TComponent* Owner, const AnsiString& Caption) : TComponent(Owner), FAction(new QAction)
{
    if (Caption == "-")
        FAction->setSeparator(true);
    else
        FAction->setText(ToQString(Caption));
    QObject::connect(FAction, &QAction::triggered, FAction, [this] { FireEvent(OnClick, this); });
}

TMenuItem::~TMenuItem() { delete FAction; }
AnsiString TMenuItem::Caption() const { return IsSeparator() ? AnsiString("-") : FromQString(FAction->text()); }
bool TMenuItem::Enabled() const { return FAction->isEnabled(); }
void TMenuItem::SetEnabled(bool Value) { FAction->setEnabled(Value); }
bool TMenuItem::IsSeparator() const { return FAction->isSeparator(); }

void TMenuItem::Click()
{
    if (FAction->isEnabled())
        FAction->trigger();
}

TPopupMenu::TPopupMenu(TComponent* Owner) : TComponent(Owner), FMenu(new QMenu)
{
    QObject::connect(FMenu, &QMenu::aboutToShow, FMenu, [this] { FireEvent(OnPopup, this); });
}

TPopupMenu::~TPopupMenu()
{
    delete FMenu;
}

void TPopupMenu::Add(TMenuItem* Item)
{
    FItems.push_back(Item);
    FMenu->addAction(Item->Action());
}

void TPopupMenu::Popup(int X, int Y)
{
    FMenu->popup(QPoint(X, Y));
}
