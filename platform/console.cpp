// The console during a run: single key presses without Enter, and termination
// signals turned into the same stop request as a key press.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/state.h"

namespace {

// Every catchable signal whose default action ends the process: each one stops the
// run the same clean way, so no temporary file is left and the terminal is given
// back. SIGPIPE too: a reader of the figures that goes away must not kill the run
// before it has cleaned up. The real-time signals follow these.
const int NAMED_STOP_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGPIPE,
                                  SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
                                  SIGXCPU, SIGPOLL, SIGPWR,  SIGSTKFLT};

void OnStopSignal(int signal) {
    g_stopSignal = signal;
}

template <typename Visit>
void ForEachStopSignal(Visit visit) {
    for (int signal : NAMED_STOP_SIGNALS) {
        visit(signal);
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        visit(signal);
    }
}

void CatchStopSignals(struct sigaction* saved) {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ForEachStopSignal([&](int signal) { sigaction(signal, &action, &saved[signal]); });
}

// SIGPIPE stays caught until the process ends: the failure message written after a
// stop to a reader that went away must fail quietly, not kill the process.
void ReleaseStopSignals(const struct sigaction* saved) {
    ForEachStopSignal([saved](int signal) {
        if (signal != SIGPIPE) {
            sigaction(signal, &saved[signal], nullptr);
        }
    });
}

// Only a foreground process may change its terminal: a background job that tried
// would be stopped by SIGTTOU.
bool OwnsTerminal() {
    return isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp();
}

bool ConsumeWaitingKey() {
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) <= 0 || (input.revents & POLLIN) == 0) {
        return false;
    }
    unsigned char key;
    return read(STDIN_FILENO, &key, 1) == 1;
}

}  // namespace

StoppableRun::StoppableRun() {
    g_stopSignal = 0;
    CatchStopSignals(m_savedActions);
    EnterKeyMode();
}

StoppableRun::~StoppableRun() {
    LeaveKeyMode();
    ReleaseStopSignals(m_savedActions);
}

// Every key, Ctrl-C and Ctrl-Z included, arrives as one byte without Enter or echo.
void StoppableRun::EnterKeyMode() {
    if (!OwnsTerminal() || tcgetattr(STDIN_FILENO, &m_savedTerminal) != 0) {
        return;
    }
    struct termios keys = m_savedTerminal;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    keys.c_iflag &= ~static_cast<tcflag_t>(IXON);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    m_keyboardReady = tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0;
}

void StoppableRun::LeaveKeyMode() {
    if (m_keyboardReady) {
        // TCSAFLUSH drops the rest of a multi-byte key so it never reaches the shell.
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &m_savedTerminal);
        m_keyboardReady = false;
    }
}

bool StoppableRun::StopRequested() {
    if (g_stopSignal != 0 || m_stopByKey) {
        return true;
    }
    m_stopByKey = m_keyboardReady && ConsumeWaitingKey();
    return m_stopByKey;
}

bool StoppableRun::Signalled() {
    return g_stopSignal != 0;
}

std::string StoppableRun::StopReason() const {
    if (m_stopByKey) {
        return "stopped by a key press";
    }
    const int signal = g_stopSignal;
    if (signal >= SIGRTMIN && signal <= SIGRTMAX) {
        return "stopped by signal SIGRTMIN+" + std::to_string(signal - SIGRTMIN);
    }
    const char* name = sigabbrev_np(signal);
    return name != nullptr ? std::string("stopped by signal SIG") + name : "stopped";
}
