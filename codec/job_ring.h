// The jobs in flight and the workers that run them, whatever the engine. The one
// thread that reads and writes (the caller) claims jobs in order, fills and submits
// them, and takes them back done in the same order: the bytes depend only on the data,
// never on the number of threads or their timing. Workers start only as jobs wait for
// them, and each lets the method's share of jobs more be in flight; when no worker can
// start, the caller runs each job as it submits it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "codec/pack_job.h"

class JobRing {
  public:
    explicit JobRing(const DeflateMethod& method) : m_method(method) {}
    ~JobRing() { Stop(); }
    JobRing(const JobRing&) = delete;
    JobRing& operator=(const JobRing&) = delete;

    // Prepares for at most maxWorkers workers. Returns false when the memory of the
    // jobs' bookkeeping cannot be had.
    bool Start(int maxWorkers);

    // The job to fill next, or null while every job the workers started so far may have
    // is in flight. Sets *noMemory, and returns null, when a job is needed and none is
    // in flight or can be had.
    PackJob* Claim(bool* noMemory);

    // Hands the job Claim gave to the workers, starting one if none is free; runs it
    // here when there is no worker.
    void Submit();

    // The oldest job in flight once it is done (waiting for it when wait is set, else
    // null while it is still being run), or null when none is in flight.
    PackJob* Oldest(bool wait);

    // Frees the oldest job once its output has been used, closing the descriptor it
    // holds.
    void Retire();

    // Lets the jobs being run finish, drops those not yet begun, and joins the workers.
    // Does nothing when they are stopped already.
    void Stop();

  private:
    void Work();
    bool StartWorker();
    PackJob* NewJob();
    size_t Allowed() const;

    const DeflateMethod& m_method;
    std::mutex m_lock;
    std::condition_variable m_queued;    // a job was submitted, or the workers must stop
    std::condition_variable m_finished;  // a job is done
    std::vector<std::thread> m_workers;  // touched by the caller's thread only
    size_t m_maxWorkers = 0;             // lowered when the system gives no more
    size_t m_capacity = 0;               // the most jobs there can ever be in flight
    std::unique_ptr<PackJob[]> m_jobs;
    size_t m_made = 0;      // jobs given their memory so far
    size_t m_madeMost = 0;  // lowered when memory for a job cannot be had
    std::unique_ptr<PackJob*[]> m_free;
    size_t m_freeCount = 0;
    std::unique_ptr<PackJob*[]> m_inFlight;  // a ring, in the order submitted
    PackJob* m_claimed = nullptr;            // the job Claim gave last
    uint64_t m_submitted = 0;                // jobs handed to the workers so far
    uint64_t m_taken = 0;                    // jobs a worker has begun
    uint64_t m_retired = 0;                  // jobs given back
    size_t m_idle = 0;                       // workers waiting for a job
    bool m_stopping = false;
    std::unique_ptr<DeflateEngine> m_own;  // the caller's, for when no worker could start
    bool m_ownTried = false;
};
