// The engine's standard output, read line by line while it runs.
#include <unistd.h>

#include <QtTest>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "output_capture.h"

using namespace larkin::frontend;

class OutputCaptureTest : public QObject {
    Q_OBJECT
  private slots:
    void LinesAreSplitTrimmedAndBlankOnesDropped() {
        std::vector<std::string> lines;
        auto keep = [&](std::string_view line) { lines.emplace_back(line); };
        std::string pending;
        TakeLines(pending, "\n Drive letter not found\n\n Copying Boot", keep);
        QCOMPARE(lines.size(), size_t{1});
        QCOMPARE(QString::fromStdString(lines[0]), QStringLiteral("Drive letter not found"));
        QCOMPARE(QString::fromStdString(pending), QStringLiteral(" Copying Boot"));
        TakeLines(pending, " Files.....\r\n....Done\n", keep);
        QCOMPARE(lines.size(), size_t{3});
        QCOMPARE(QString::fromStdString(lines[1]), QStringLiteral("Copying Boot Files....."));
        QCOMPARE(QString::fromStdString(lines[2]), QStringLiteral("....Done"));
        QVERIFY(pending.empty());
    }

    void CapturesWhatIsWrittenAndPutsTheOutputBack() {
        std::mutex guard;
        std::vector<std::string> lines;
        {
            OutputCapture capture([&](std::string_view line) {
                std::lock_guard lock(guard);
                lines.emplace_back(line);
            });
            QVERIFY(capture.active());
            std::printf("\n first line\n");
            std::fflush(stdout);
            // Programs the engine starts write to the same descriptor.
            QCOMPARE(::write(STDOUT_FILENO, "second\nunfinished", 17), ssize_t{17});
        }
        QCOMPARE(lines.size(), size_t{3});
        QCOMPARE(QString::fromStdString(lines[0]), QStringLiteral("first line"));
        QCOMPARE(QString::fromStdString(lines[1]), QStringLiteral("second"));
        QCOMPARE(QString::fromStdString(lines[2]), QStringLiteral("unfinished"));
        // Output after the capture no longer reaches it.
        std::printf("\nafter\n");
        std::fflush(stdout);
        QCOMPARE(lines.size(), size_t{3});
    }
};

QTEST_GUILESS_MAIN(OutputCaptureTest)
#include "output_capture_test.moc"
