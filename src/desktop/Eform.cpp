#include "desktop/Eform.h"

#include "relay/main_window.h"

#include <QGuiApplication>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

TKeyEditForm* KeyEditForm = nullptr;

TKeyEditForm::TKeyEditForm(TComponent* Owner) : TForm(Owner)
{
    // A dialog frame without caption buttons.
    Widget()->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    SetCaption(Sjis("キーワード編集"));
    SetFixedClientSize(320, 240);
    SetFont({QString::fromUtf8("ＭＳ Ｐゴシック"), "Noto Sans CJK JP", "Noto Sans JP", "IPAPGothic"}, 12);

    KeyEditMemo = new TMemo(this, this);
    KeyEditMemo->SetBounds(8, 8, 305, 193);
    OkBitBtn = new TButton(this, this, "OK");
    OkBitBtn->SetBounds(240, 208, 75, 25);
    OkBitBtn->SetDefault(true);
    CancelBitBtn = new TButton(this, this, Sjis("ｷｬﾝｾﾙ"));
    CancelBitBtn->SetBounds(160, 208, 75, 25);
    CancelBitBtn->SetCancel(true);
    QStyle* style = Widget()->style();
    static_cast<QPushButton*>(OkBitBtn->Widget())->setIcon(style->standardIcon(QStyle::SP_DialogOkButton));
    static_cast<QPushButton*>(CancelBitBtn->Widget())->setIcon(style->standardIcon(QStyle::SP_DialogCancelButton));
    QWidget::setTabOrder(KeyEditMemo->Widget(), OkBitBtn->Widget());
    QWidget::setTabOrder(OkBitBtn->Widget(), CancelBitBtn->Widget());

    OkBitBtn->OnClick = [this](TObject* s) { OkBitBtnClick(s); };
    CancelBitBtn->OnClick = [this](TObject* s) { CancelBitBtnClick(s); };

    if (QScreen* screen = QGuiApplication::primaryScreen())
        Widget()->move(screen->geometry().center() - Widget()->rect().center());
}

void TKeyEditForm::Fill(const std::vector<AnsiString>& Entries)
{
    AnsiString text;
    for (const AnsiString& entry : Entries)
        text += entry + "\r\n";
    KeyEditMemo->SetText(text);
    FFilled = Entries;
    FFilledText = KeyEditMemo->Text();
}

void TKeyEditForm::OkBitBtnClick(TObject*)
{
    const AnsiString text = KeyEditMemo->Text();
    if (NimboChat)
        NimboChat->SetKeywords(text == FFilledText ? FFilled : SplitMemoLines(text));
    Hide();
}

void TKeyEditForm::CancelBitBtnClick(TObject*)
{
    Hide();
}

std::vector<AnsiString> SplitMemoLines(const AnsiString& Text)
{
    std::vector<AnsiString> lines;
    AnsiString line;
    for (size_t i = 0; i < Text.size(); ++i) {
        char c = Text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n')
                ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}
