// The engine bound by name: a library that is missing or lacks a function
// (the real engine is bound in the real-engine command test).
#include <QtTest>
#include <array>

#include "engine.h"

using namespace larkin::frontend;

class EngineBindingTest : public QObject {
    Q_OBJECT
  private slots:
    void MissingLibraryAndMissingFunction() {
        TesselEngine missing("NoSuchEngineLibrary");
        EngineResult none = missing.GetUSBDevCount();
        QCOMPARE(none.failure.code, runtime_error::kDllLoad);

        TesselEngine partial("FrontendTestEngine");
        EngineResult count = partial.GetUSBDevCount();
        QVERIFY(!count.failure);
        QCOMPARE(count.value, 1);
        std::array<char, 256> text{};
        QCOMPARE(partial.GetUSBDevInfo(0, text).value, 0);
        QCOMPARE(QString::fromLatin1(text.data()), QStringLiteral("Q: Test Engine Drive"));
        EngineResult create = partial.CreateUSBBoot("Q:", "A:", 0);
        QCOMPARE(create.failure.code, runtime_error::kDllEntryPoint);
        QVERIFY(create.failure.description.contains("CreateUSBBoot"));
        // A buffer smaller than the engine may write is refused.
        std::array<char, 16> small{};
        QCOMPARE(partial.GetUSBDevInfo(0, small).value, 6);
    }
};

QTEST_GUILESS_MAIN(EngineBindingTest)
#include "engine_binding_test.moc"
