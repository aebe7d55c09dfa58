// Test main for suites that drive the window: one QApplication for the whole binary.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvotool"));
    // One turn of the event loop before any test counts threads or descriptors: Qt starts some
    // services of its own the first time its loop runs.
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    QApplication::exec();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
