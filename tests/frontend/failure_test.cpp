// The error handler's table and how system errors map onto it.
#include <QtTest>

#include "failure.h"

using namespace larkin::frontend;

class FailureTest : public QObject {
    Q_OBJECT
  private slots:
    void TableOfMessages() {
        struct Row {
            int code;
            const char* title;
            const char* text;
        };
        const Row rows[] = {
            {53, "EULA Not Found",
             "End User License not found. Try reinstalling the selected file image."},
            {57, "USB Drive Not Available",
             "USB Drive is not accessible. Check that it is still connected to the system, and "
             "try the Rescan Bus function."},
            {61, "USB Drive Full", "USB Drive is Full. Try using a higher capacity USB Drive"},
            {68, "USB Drive Is Not Ready",
             "USB Drive is locked or is not ready. Check that is unlocked and still connected to "
             "the system."},
            {69, "USB Drive Is Not Ready", nullptr},
            {70, "USB Drive Is Not Ready", nullptr},
            {71, "USB Drive Is Not Ready", nullptr},
            {75, "File Image Not Found",
             "Selected file image directory cannot be found. Try reinstalling the selected file "
             "image."},
            {76, "File Image Not Found", nullptr},
        };
        for (const Row& row : rows) {
            ErrorMessage message = MessageForFailure({row.code, QStringLiteral("ignored")});
            QCOMPARE(message.title, QString::fromLatin1(row.title));
            if (row.text != nullptr) QCOMPARE(message.text, QString::fromLatin1(row.text));
        }
        ErrorMessage unknown = MessageForFailure({9, QStringLiteral("Subscript out of range")});
        QCOMPARE(unknown.title, QStringLiteral("Unknown Error"));
        QCOMPARE(unknown.text, QStringLiteral("Unexpected Error 9  Subscript out of range"));
    }

    void SystemErrorsDependOnWhatWasBeingDone() {
        // ERROR_DISK_FULL, ERROR_PATH_NOT_FOUND, ERROR_FILE_NOT_FOUND,
        // ERROR_DEVICE_NOT_CONNECTED, ERROR_NOT_READY, ERROR_ACCESS_DENIED,
        // ERROR_GEN_FAILURE, ERROR_INVALID_DRIVE.
        QCOMPARE(FailureFromSystemError(112, FailureContext::Drive).code, 61);
        QCOMPARE(FailureFromSystemError(3, FailureContext::ImageFolder).code, 76);
        QCOMPARE(FailureFromSystemError(2, FailureContext::ImageFolder).code, 76);
        QCOMPARE(FailureFromSystemError(2, FailureContext::Agreement).code, 53);
        QCOMPARE(FailureFromSystemError(2, FailureContext::Drive).code, 68);
        QCOMPARE(FailureFromSystemError(1167, FailureContext::Drive).code, 68);
        QCOMPARE(FailureFromSystemError(15, FailureContext::Drive).code, 68);
        QCOMPARE(FailureFromSystemError(21, FailureContext::Drive).code, 71);
        QCOMPARE(FailureFromSystemError(5, FailureContext::Drive).code, 70);
        QCOMPARE(FailureFromSystemError(5, FailureContext::ImageFolder).code, 75);
        QCOMPARE(FailureFromSystemError(31, FailureContext::Drive).code, 57);
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
