// The crew: threads that sleep between rounds, each woken with its task.
#include "codec/task_crew.h"

#include <exception>

bool TaskCrew::Start(size_t count) {
    // A thread or memory the system will not give is no failure: the caller goes on
    // without the crew.
    try {
        m_tasks.assign(count, nullptr);
        m_threads.reserve(count);
        for (size_t k = 0; k < count; ++k) {
            m_threads.emplace_back(&TaskCrew::Work, this, k);
        }
        return true;
    } catch (const std::exception&) {
        Stop();
        return false;
    }
}

void TaskCrew::Launch(CrewTask* const* tasks) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (size_t k = 0; k < m_threads.size(); ++k) {
            m_tasks[k] = tasks[k];
        }
        m_running = m_threads.size();
        ++m_round;
    }
    m_launched.notify_all();
}

bool TaskCrew::WaitFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_finished.wait_for(lock, limit, [this] { return m_running == 0; });
}

void TaskCrew::Stop() {
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_finished.wait(lock, [this] { return m_running == 0; });
        m_stopping = true;
    }
    m_launched.notify_all();
    for (std::thread& thread : m_threads) {
        thread.join();
    }
    m_threads.clear();
    m_stopping = false;
}

void TaskCrew::Work(size_t index) {
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_launched.wait(lock, [&] { return m_stopping || m_round != seen; });
        if (m_stopping) {
            return;
        }
        seen = m_round;
        CrewTask* task = m_tasks[index];
        lock.unlock();
        task->Run();
        lock.lock();
        if (--m_running == 0) {
            m_finished.notify_all();
        }
    }
}
