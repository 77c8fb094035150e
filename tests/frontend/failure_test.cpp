// The error handler's titles and how system errors map onto its numbers.
#include <QtTest>
#include <tuple>

#include "failure.h"

using namespace larkin::frontend;

class FailureTest : public QObject {
    Q_OBJECT
  private slots:
    void EachNumberHasItsTitle() {
        const std::pair<int, const char*> rows[] = {
            {53, "EULA Not Found"},         {57, "USB Drive Not Available"},
            {61, "USB Drive Full"},         {68, "USB Drive Is Not Ready"},
            {69, "USB Drive Is Not Ready"}, {70, "USB Drive Is Not Ready"},
            {71, "USB Drive Is Not Ready"}, {75, "File Image Not Found"},
            {76, "File Image Not Found"},   {9, "Unknown Error"}};
        for (auto [code, title] : rows)
            QCOMPARE(MessageForFailure({code, QStringLiteral("why")}).title, QString(title));
        QCOMPARE(MessageForFailure({9, QStringLiteral("Subscript out of range")}).text,
                 QStringLiteral("Unexpected Error 9  Subscript out of range"));
    }

    void SystemErrorsDependOnWhatWasBeingDone() {
        // ERROR_DISK_FULL, ERROR_PATH_NOT_FOUND, ERROR_FILE_NOT_FOUND,
        // ERROR_DEVICE_NOT_CONNECTED, ERROR_NOT_READY, ERROR_ACCESS_DENIED,
        // ERROR_GEN_FAILURE, ERROR_INVALID_DRIVE.
        using enum FailureContext;
        const std::tuple<int, FailureContext, int> rows[] = {
            {112, Drive, 61}, {3, ImageFolder, 76}, {2, ImageFolder, 76}, {2, Agreement, 53},
            {2, Drive, 68},   {1167, Drive, 68},    {15, Drive, 68},      {21, Drive, 71},
            {5, Drive, 70},   {5, ImageFolder, 75}, {31, Drive, 57}};
        for (auto [error, context, code] : rows)
            QCOMPARE(FailureFromSystemError(error, context).code, code);
        QVERIFY(!FailureFromSystemError(0, FailureContext::Drive));
        // Others keep their number, with the system's text and the detail.
        Failure other =
            FailureFromSystemError(1460, FailureContext::Drive, QStringLiteral("mcopy"));
        QCOMPARE(other.code, 1460);
        QVERIFY(other.description.contains("mcopy"));
        QVERIFY(MessageForFailure(other).text.startsWith("Unexpected Error 1460  "));
    }
};

QTEST_GUILESS_MAIN(FailureTest)
#include "failure_test.moc"
