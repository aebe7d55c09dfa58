// Job bookkeeping: where each job's bytes came from, what it printed and how it ended, and the
// trace its watcher gets.

#include <algorithm>
#include <utility>

#include "printer/VirtualPrinter.h"

namespace kelvo::printer {

void VirtualPrinter::StartJob(std::string endpoint) {
    if (jobRunning_ && job_.bytes > 0)
        EndJob("next");
    job_.endpoint = std::move(endpoint);
    job_.started = std::chrono::system_clock::now();
    job_.firstItem = job_.endItem = paper_.End();
    jobRunning_ = true;
    trace_.before = settings_;
}

void VirtualPrinter::WatchJobs(JobWatcher watcher) {
    watcher_ = std::move(watcher);
    trace_ = {};
    trace_.before = settings_;
}

void VirtualPrinter::EndJob(std::string how) {
    if (!jobRunning_)
        StartJob(job_.endpoint);
    if (nvLoad_) {
        job_.dropped = "FS q";
        job_.droppedHave = nvLoad_->received;
        job_.droppedNeed = nvLoad_->declared;
        nvLoad_.reset();
    } else if (!held_.empty()) {
        DecoderState state = state_;
        const DecodedCommand c = DecodeCommands(held_, state, 1).front();
        job_.dropped = c.name.empty() ? "text" : c.name;
        job_.droppedHave = held_.size();
        job_.droppedNeed = std::max<uint64_t>(heldNeed_, c.needed);
        held_.clear();
    }
    job_.end = std::move(how);
    job_.ended = std::chrono::system_clock::now();
    job_.endItem = paper_.End();
    if (watcher_) {
        // Answers sent between jobs stay with the next one, as its first request asked for them.
        watcher_(job_, std::exchange(trace_, {}));
        trace_.before = settings_;
    }
    const uint64_t next = job_.number + 1;
    std::string endpoint = job_.endpoint;
    jobs_.push_back(std::move(job_));
    if (jobs_.size() > kJobsKept)
        jobs_.pop_front();
    job_ = {};
    job_.number = next;
    job_.endpoint = std::move(endpoint);
    jobRunning_ = false;
}

void VirtualPrinter::NoteJobItem(const PaperItem& item) {
    if (const auto* line = std::get_if<PaperLine>(&item)) {
        ++job_.lines;
        if (job_.firstLine.empty()) {
            std::string text;
            for (const TextRun& run : line->runs)
                text += run.utf8;
            const size_t from = text.find_first_not_of(' ');
            if (from != std::string::npos)
                job_.firstLine = text.substr(from, text.find_last_not_of(' ') + 1 - from);
        }
    } else if (std::holds_alternative<PaperImage>(item)) {
        ++job_.pictures;
    } else if (std::holds_alternative<PaperCut>(item)) {
        ++job_.cuts;
    }
}

void VirtualPrinter::NoteAnswer(std::string_view answer) {
    if (!watcher_)
        return;
    const size_t kept = std::min(answer.size(), kJobTraceAnswers - trace_.answers.size());
    trace_.answers.append(answer.substr(0, kept));
    trace_.answersMore += answer.size() - kept;
}

}  // namespace kelvo::printer
