// The job ring: a free list of jobs made as they are first needed, a ring of those in
// flight in submission order, and the worker threads.
#include "codec/job_ring.h"

#include <algorithm>
#include <exception>
#include <new>

bool JobRing::Start(int maxWorkers) {
    m_maxWorkers = static_cast<size_t>(std::max(maxWorkers, 1));
    m_capacity = m_method.JobsInFlight(m_maxWorkers);
    m_madeMost = m_capacity;
    // Only the jobs' bookkeeping is taken now; each job's memory when first needed.
    m_jobs.reset(new (std::nothrow) PackJob[m_capacity]);
    m_free.reset(new (std::nothrow) PackJob*[m_capacity]);
    m_inFlight.reset(new (std::nothrow) PackJob*[m_capacity]);
    m_stopping = false;
    return m_jobs && m_free && m_inFlight;
}

// The jobs the workers started so far may have in flight.
size_t JobRing::Allowed() const {
    return std::min(m_madeMost, m_method.JobsInFlight(std::max<size_t>(m_workers.size(), 1)));
}

// Gives the next job never used its memory: taken from the system, touched only as it
// is used. Returns null when the memory cannot be had.
PackJob* JobRing::NewJob() {
    PackJob* job = &m_jobs[m_made];
    const size_t window = m_method.WindowSize();
    const size_t capacity = m_method.OutputCapacity();
    if (!job->memory.Allocate(window + m_method.PieceSize() + capacity)) {
        return nullptr;
    }
    job->input = job->memory.data();
    job->window = window;
    job->output = job->input + window + m_method.PieceSize();
    job->capacity = capacity;
    ++m_made;
    return job;
}

PackJob* JobRing::Claim(bool* noMemory) {
    std::lock_guard<std::mutex> lock(m_lock);
    PackJob* job = nullptr;
    if (m_freeCount > 0) {
        job = m_free[--m_freeCount];
    } else if (m_made < Allowed()) {
        job = NewJob();
        // With jobs in flight, waiting for one is as good; with none, it is the end.
        if (job == nullptr) {
            m_madeMost = m_made;
            *noMemory = m_submitted == m_retired;
        }
    }
    if (job != nullptr) {
        job->done = false;
        job->result = Result::OK;
        job->outputLength = 0;
        m_claimed = job;
    }
    return job;
}

bool JobRing::StartWorker() {
    // A thread the system will not give is no failure: the run goes on with the
    // workers it has, or with none.
    try {
        m_workers.emplace_back(&JobRing::Work, this);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void JobRing::Submit() {
    bool wanting = false;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_inFlight[m_submitted++ % m_capacity] = m_claimed;
        wanting = m_submitted - m_taken > m_idle;
    }
    if (wanting && m_workers.size() < m_maxWorkers && !StartWorker()) {
        m_maxWorkers = m_workers.size();
    }
    if (!m_workers.empty()) {
        m_queued.notify_one();
        return;
    }
    PackJob* job = m_claimed;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_taken;
    }
    if (!m_ownTried) {
        m_own = m_method.MakeEngine();
        m_ownTried = true;
    }
    job->Run(m_own.get());
    std::lock_guard<std::mutex> lock(m_lock);
    job->done = true;
}

PackJob* JobRing::Oldest(bool wait) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_retired == m_submitted) {
        return nullptr;
    }
    PackJob* job = m_inFlight[m_retired % m_capacity];
    if (wait) {
        m_finished.wait(lock, [job] { return job->done; });
    }
    return job->done ? job : nullptr;
}

void JobRing::Retire() {
    std::lock_guard<std::mutex> lock(m_lock);
    PackJob* job = m_inFlight[m_retired++ % m_capacity];
    job->source = Descriptor();
    m_free[m_freeCount++] = job;
}

void JobRing::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
        // Jobs never begun are dropped; the ones being run still finish.
        m_submitted = m_taken;
        m_retired = m_taken;
    }
    m_queued.notify_all();
    for (std::thread& worker : m_workers) {
        worker.join();
    }
    m_workers.clear();
    m_own.reset();
    m_ownTried = false;
}

void JobRing::Work() {
    const std::unique_ptr<DeflateEngine> engine = m_method.MakeEngine();
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        ++m_idle;
        m_queued.wait(lock, [this] { return m_stopping || m_taken < m_submitted; });
        --m_idle;
        if (m_stopping) {
            break;
        }
        PackJob* job = m_inFlight[m_taken++ % m_capacity];
        lock.unlock();
        job->Run(engine.get());
        lock.lock();
        job->done = true;
        m_finished.notify_all();
    }
}
