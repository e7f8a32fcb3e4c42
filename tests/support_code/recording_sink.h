// A message sink that records every message box and exception display
// instead of showing it, so that tests never block and can assert on them.
#pragma once

#include "framework/application.h"

#include <vector>

struct RecordedBox {
    AnsiString Text;
    AnsiString Caption;
    UINT Flags;
};

class RecordingSink : public TMessageSink {
public:
    int MessageBox(const AnsiString& Text, const AnsiString& Caption, UINT Flags) override
    {
        Boxes.push_back({Text, Caption, Flags});
        return Answer;
    }
    void ShowException(const AnsiString&, const AnsiString& Message) override { Exceptions.push_back(Message); }

    std::vector<RecordedBox> Boxes;
    std::vector<AnsiString> Exceptions;
    int Answer = IDOK;
};

// The sink the test main installed; cleared before each test.
RecordingSink& Recorded();
