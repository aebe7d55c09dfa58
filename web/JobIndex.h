#pragma once

// The saved jobs the page lists: for each, which printer's folder holds it and its number there,
// never what its files hold, so that many thousands cost a few megabytes; at most a cap of them,
// the oldest let go first (their files stay).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kelvo::web {

class JobIndex {
  public:
    struct Job {
        uint64_t id = 0;  // the page's number for it, rising in the order the jobs were saved
        uint32_t printer = 0;
        uint64_t number = 0;  // its job-NNNN in the printer's folder
    };
    static constexpr size_t kCap = 100000;

    JobIndex(size_t printers, size_t cap = kCap);

    uint64_t Add(uint32_t printer, uint64_t number);
    std::optional<Job> Find(uint64_t id) const;
    // Newest first: up to `limit` jobs with an id below `before` (0: from the newest), of
    // `printer` only when given; `more` says whether older ones are left.
    std::vector<Job> Page(std::optional<uint32_t> printer, uint64_t before, size_t limit,
                          bool& more) const;
    // Oldest first: the jobs with an id above `after`, at most `limit`.
    std::vector<Job> Since(uint64_t after, size_t limit) const;
    // Lets go of the printer's jobs and returns them.
    std::vector<Job> Clear(uint32_t printer);
    size_t Count(uint32_t printer) const;
    uint64_t LastId() const;
    // Counts up at each Clear: a reader of Since then reads the list anew.
    uint64_t Clears() const;

  private:
    mutable std::mutex mu_;
    std::deque<Job> jobs_;  // by id
    std::vector<size_t> counts_;
    uint64_t next_ = 1;
    uint64_t clears_ = 0;
    size_t cap_;
};

// The jobs saved in `dir` (each job-NNNN.json, which is written last), oldest first by when the
// record was written, then by number; at most `cap`, the newest.
struct SavedJob {
    int64_t time = 0;  // the record's modification, in ns since the epoch
    uint64_t number = 0;
};
std::vector<SavedJob> SavedJobs(const std::string& dir, size_t cap = JobIndex::kCap);

// "job-0042": a job's files without their suffix, as the headless printer names them.
std::string JobBase(uint64_t number);

}  // namespace kelvo::web
