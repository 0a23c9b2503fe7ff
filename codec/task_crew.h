// A crew of threads that run one task each per round, whatever the tasks do: the
// caller hands every thread its task at once, and waits, as long as it likes at a time,
// until all of them are done. It knows no engine and no stream.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

class CrewTask {
  public:
    virtual void Run() = 0;

  protected:
    ~CrewTask() = default;
};

class TaskCrew {
  public:
    TaskCrew() = default;
    ~TaskCrew() { Stop(); }
    TaskCrew(const TaskCrew&) = delete;
    TaskCrew& operator=(const TaskCrew&) = delete;

    // Starts count threads. Returns false, with none running, when the system gives
    // fewer or their bookkeeping cannot be had.
    bool Start(size_t count);
    size_t Size() const { return m_threads.size(); }

    // Hands tasks[k] to thread k, one per thread, all at once. The previous round must
    // be done.
    void Launch(CrewTask* const* tasks);

    // Waits at most limit for the round to be done. Returns whether it is.
    bool WaitFor(std::chrono::milliseconds limit);

    // Lets the round finish, then ends and joins the threads.
    void Stop();

  private:
    void Work(size_t index);

    std::mutex m_lock;
    std::condition_variable m_launched;  // a round began, or the crew must stop
    std::condition_variable m_finished;  // a round's last task is done
    std::vector<std::thread> m_threads;  // touched by the caller's thread only
    std::vector<CrewTask*> m_tasks;
    uint64_t m_round = 0;
    size_t m_running = 0;  // tasks of the round not done yet
    bool m_stopping = false;
};
