// SPDX-License-Identifier: Apache-2.0
// The filter process of one job: rastertotarnwel started as CUPS starts it
// (job-id user title copies options, the PPD in the environment), its
// standard input a pipe the job writes CUPS raster into, its printer stream
// and its log read as they come by a thread of their own, so that neither
// side can block the other.
#ifndef TARNWEL_APP_FILTER_PROCESS_H
#define TARNWEL_APP_FILTER_PROCESS_H

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tarnwel {

class FilterProcess {
  public:
    // Takes the printer stream; false when the printer stopped taking it.
    using OutputSink = std::function<bool(const void* data, size_t size)>;
    // Takes each line the filter writes to standard error, without the newline.
    using LogSink = std::function<void(const std::string& line)>;

    FilterProcess(OutputSink output, LogSink log);
    ~FilterProcess();
    FilterProcess(const FilterProcess&) = delete;
    FilterProcess& operator=(const FilterProcess&) = delete;

    // Starts `program` with `args` (after the program name) and PPD=`ppd`.
    // On failure returns false with the reason in `error`.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::string& ppd, std::string& error);
    int input() const { return in_; }  // where the raster goes
    void close_input();
    // Asks the filter to stop, as CUPS does when a job is cancelled: it ends
    // the page it is on and still closes the stream properly.
    void terminate();
    // Closes the input, waits until the filter has exited and all its output
    // is copied; returns the exit status, or 128 + the signal that killed it.
    int wait();
    // The printer stopped taking the stream (the output sink failed).
    bool output_failed() const { return outputFailed_; }

  private:
    void copy_loop();

    OutputSink output_;
    LogSink log_;
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::thread copier_;
    std::atomic<bool> outputFailed_{false};
};

}  // namespace tarnwel

#endif
