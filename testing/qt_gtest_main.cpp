// Test main for suites that drive the window: one QApplication for the whole binary.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSemaphore>
#include <QThreadPool>
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
    // Qt paints on a pool of threads that start on first use and end after 30 s idle: start them
    // all now and keep them, so tests that count the process's threads and descriptors see Qt's
    // as a constant.
    QThreadPool* pool = QThreadPool::globalInstance();
    pool->setExpiryTimeout(-1);
    QSemaphore started, release;
    const int threads = pool->maxThreadCount();
    for (int i = 0; i < threads; ++i) {
        pool->start([&] {
            started.release();
            release.acquire();
        });
    }
    started.acquire(threads);
    release.release(threads);  // the threads stay, idle (waitForDone would end them)
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
