// What the codec tells the layer above it while it runs, and that layer's answer: the
// codec itself neither prints nor reads keys, and stops when the answer says so.
#pragma once

#include <cstdint>

enum class Progress { CONTINUE, STOP };

class ProgressSink {
  public:
    // The figure for the work so far, 0 to 100. STOP ends the run as soon as the
    // codec can: the stream being inflated, or the file being packed after its
    // closing figure.
    virtual Progress OnProgress(int percent) = 0;

    // The codec is at work with no new figure to show: the chance to ask for a stop
    // all the same.
    virtual Progress CheckStop() = 0;

    // An inflate call made with the archive's input run out still produced output,
    // and returned zlibCode instead of Z_OK: the stream ended or failed there.
    virtual void OnStreamMessage(int zlibCode) = 0;

  protected:
    ~ProgressSink() = default;
};

// The figure of a file, or of a run, that is complete.
constexpr int FIGURE_COMPLETE = 100;

// The figure for done bytes of total: exact in 32-bit arithmetic up to 10,000,000
// bytes, beyond that with the divisor cut to whole hundredths first.
int Percent(int64_t done, int64_t total);
