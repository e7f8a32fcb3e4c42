// The main of every test program that uses the framework: one QApplication
// and one application object for the whole run, with a recording sink that
// is emptied before each test.
#include "support_code/recording_sink.h"

#include "kanji/kanji_convert.h"

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

RecordingSink* sink = nullptr;

class ClearSink : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override
    {
        sink->Boxes.clear();
        sink->Exceptions.clear();
        sink->Answer = IDOK;
    }
};

} // namespace

RecordingSink& Recorded()
{
    return *sink;
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // Each run starts with no stored settings and no stay session: what an
    // earlier run saved never leaks into this one, and the user's own files
    // are never touched.
    QTemporaryDir config, data;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", data.path().toLocal8Bit());
    QApplication qtApp(argc, argv);
    TApplication app;
    Application = &app;
    app.Title = "NimboChat";
    auto owned = std::make_unique<RecordingSink>();
    sink = owned.get();
    app.SetMessageSink(std::move(owned));
    SetKanjiErrorHandler([](const std::exception& E) { Application->ShowException(E); });
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new ClearSink);
    int rc = RUN_ALL_TESTS();
    Application = nullptr;
    return rc;
}
