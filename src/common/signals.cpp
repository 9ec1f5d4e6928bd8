#include "common/signals.h"

signal_handler install_handler(int signo, signal_handler handler)
{
    struct sigaction act = {};
    struct sigaction old = {};
    act.sa_handler = handler;
    sigemptyset(&act.sa_mask);
    act.sa_flags = signo == SIGALRM ? 0 : SA_RESTART;
    if (sigaction(signo, &act, &old) < 0)
        return SIG_ERR;
    return old.sa_handler;
}

void block_signal(int signo, int how)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signo);
    sigprocmask(how, &set, nullptr);
}

void reset_inherited_signals(const sigset_t &keep_blocked)
{
    install_handler(SIGCHLD, SIG_DFL);
    sigprocmask(SIG_SETMASK, &keep_blocked, nullptr);
}
