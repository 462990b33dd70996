#include "precise_sleep.h"

#include <QThread>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

void precise_sleep(std::chrono::microseconds duration)
{
    if (duration.count() <= 0)
        return;
#ifdef Q_OS_LINUX
    const int slack = prctl(PR_GET_TIMERSLACK);
    prctl(PR_SET_TIMERSLACK, 1UL);
    QThread::usleep(static_cast<unsigned long>(duration.count()));
    if (slack > 0)
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack));
#else
    QThread::usleep(static_cast<unsigned long>(duration.count()));
#endif
}
