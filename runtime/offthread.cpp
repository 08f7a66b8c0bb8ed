#include "offthread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <atomic>
#include <exception>

namespace rt {

namespace {
std::atomic<int> g_running{0};
}

bool offThreadStepRunning()
{
    return g_running.load() > 0;
}

void awaitOffThread(const std::function<void()>& work)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread()) {
        work();
        return;
    }
    std::exception_ptr failure;
    QThread* worker = QThread::create([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    QEventLoop loop;
    QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    ++g_running;
    worker->start();
    // Paints, timers and the window manager's requests go on; clicks and
    // keys stay queued until the step has ended.
    while (!worker->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    worker->wait();
    --g_running;
    delete worker;
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace rt
