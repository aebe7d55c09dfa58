#include "web/JobIndex.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

namespace kelvo::web {

JobIndex::JobIndex(size_t printers, size_t cap)
    : counts_(printers), cap_(std::max<size_t>(cap, 1)) {}

uint64_t JobIndex::Add(uint32_t printer, uint64_t number) {
    std::lock_guard lock(mu_);
    if (jobs_.size() == cap_) {
        --counts_[jobs_.front().printer];
        jobs_.pop_front();
    }
    jobs_.push_back({next_, printer, number});
    ++counts_[printer];
    return next_++;
}

std::optional<JobIndex::Job> JobIndex::Find(uint64_t id) const {
    std::lock_guard lock(mu_);
    const auto it = std::lower_bound(jobs_.begin(), jobs_.end(), id,
                                     [](const Job& job, uint64_t n) { return job.id < n; });
    if (it == jobs_.end() || it->id != id)
        return std::nullopt;
    return *it;
}

std::vector<JobIndex::Job> JobIndex::Page(std::optional<uint32_t> printer, uint64_t before,
                                          size_t limit, bool& more) const {
    std::lock_guard lock(mu_);
    auto end = before == 0
                   ? jobs_.end()
                   : std::lower_bound(jobs_.begin(), jobs_.end(), before,
                                      [](const Job& job, uint64_t n) { return job.id < n; });
    std::vector<Job> page;
    more = false;
    for (auto it = end; it != jobs_.begin();) {
        --it;
        if (printer && it->printer != *printer)
            continue;
        if (page.size() == limit) {
            more = true;
            break;
        }
        page.push_back(*it);
    }
    return page;
}

std::vector<JobIndex::Job> JobIndex::Since(uint64_t after, size_t limit) const {
    std::lock_guard lock(mu_);
    auto it = std::upper_bound(jobs_.begin(), jobs_.end(), after,
                               [](uint64_t n, const Job& job) { return n < job.id; });
    std::vector<Job> since;
    for (; it != jobs_.end() && since.size() < limit; ++it)
        since.push_back(*it);
    return since;
}

std::vector<JobIndex::Job> JobIndex::Clear(uint32_t printer) {
    std::lock_guard lock(mu_);
    std::vector<Job> gone;
    std::erase_if(jobs_, [&](const Job& job) {
        if (job.printer != printer)
            return false;
        gone.push_back(job);
        return true;
    });
    counts_[printer] = 0;
    ++clears_;
    return gone;
}

size_t JobIndex::Count(uint32_t printer) const {
    std::lock_guard lock(mu_);
    return printer < counts_.size() ? counts_[printer] : 0;
}

uint64_t JobIndex::LastId() const {
    std::lock_guard lock(mu_);
    return next_ - 1;
}

uint64_t JobIndex::Clears() const {
    std::lock_guard lock(mu_);
    return clears_;
}

std::vector<SavedJob> SavedJobs(const std::string& dir, size_t cap) {
    std::vector<SavedJob> saved;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return saved;
    while (const dirent* entry = ::readdir(d)) {
        unsigned long long number = 0;
        int used = 0;
        // Only the names the printer gives: job-0042.json, and no other spelling of 42.
        if (std::sscanf(entry->d_name, "job-%llu.json%n", &number, &used) != 1 ||
            entry->d_name[used] != '\0' || JobBase(number) + ".json" != entry->d_name)
            continue;
        struct stat st {};
        if (::stat((dir + "/" + entry->d_name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        saved.push_back({int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec, number});
    }
    ::closedir(d);
    std::sort(saved.begin(), saved.end(), [](const SavedJob& a, const SavedJob& b) {
        return a.time != b.time ? a.time < b.time : a.number < b.number;
    });
    if (saved.size() > cap)
        saved.erase(saved.begin(), saved.end() - static_cast<ptrdiff_t>(cap));
    return saved;
}

std::string JobBase(uint64_t number) {
    char name[32];
    std::snprintf(name, sizeof name, "job-%04llu", static_cast<unsigned long long>(number));
    return name;
}

}  // namespace kelvo::web
