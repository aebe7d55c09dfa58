// The radio bridge: frames behind "+++++DYSJ" headers routed to numbered printers.

#include <algorithm>

#include "printer/VirtualPrinter.h"
#include "protocol/Commands.h"

namespace kelvo::printer {

Bridge::Bridge(VirtualPrinter& direct,
               std::vector<std::pair<std::string, VirtualPrinter*>> numbered)
    : direct_(&direct),
      numbered_(std::move(numbered)),
      printed_{&direct, {}},
      received_{&direct, {}} {}

bool Bridge::EndFrame() {
    VirtualPrinter* target = printed_.target;
    const bool ended = target && target->JobRunning();
    if (ended)
        target->EndJob("pause");
    printed_.target = direct_;
    return ended;
}

void Bridge::EndReceivedFrame() {
    received_.target = direct_;
}

void Bridge::StartFrameJob(VirtualPrinter& printer) const {
    if (printer.JobRunning())
        return;
    std::string name = lineName_;
    for (const auto& [number, numbered] : numbered_) {
        if (numbered == &printer)
            name = "wireless " + number;
    }
    printer.StartJob(std::move(name));
}

std::string Bridge::Feed(std::string_view bytes) {
    std::string answer;
    Split(printed_, bytes, [&](VirtualPrinter& p, std::string_view part) {
        StartFrameJob(p);
        answer += p.Feed(part);
    });
    return answer;
}

std::string Bridge::RealTime(std::string_view received) {
    std::string answer;
    Split(received_, received,
          [&](VirtualPrinter& p, std::string_view part) { answer += p.RealTime(part); });
    return answer;
}

std::string Bridge::Print(std::string_view bytes) {
    std::string answer;
    Split(printed_, bytes, [&](VirtualPrinter& p, std::string_view part) {
        StartFrameJob(p);
        answer += p.Print(part);
    });
    return answer;
}

template <class Send>
void Bridge::Split(Route& route, std::string_view bytes, Send send) {
    // A number longer than this is not waited for.
    constexpr size_t kMaxDigits = 8;
    const std::string header = WirelessDataHeader();
    const std::string data = std::move(route.held) + std::string(bytes);
    route.held.clear();
    auto pass = [&](std::string_view part) {
        if (route.target && !part.empty())
            send(*route.target, part);
    };
    std::string_view rest = data;
    while (!rest.empty()) {
        const size_t at = rest.find(header);
        if (at == std::string_view::npos) {
            size_t keep = std::min(header.size() - 1, rest.size());
            while (keep > 0 && !rest.ends_with(std::string_view(header).substr(0, keep)))
                --keep;
            pass(rest.substr(0, rest.size() - keep));
            route.held = rest.substr(rest.size() - keep);
            break;
        }
        pass(rest.substr(0, at));
        size_t end = at + header.size();
        while (end < rest.size() && end - at - header.size() < kMaxDigits && rest[end] >= '0' &&
               rest[end] <= '9')
            ++end;
        if (end == rest.size() && end - at - header.size() < kMaxDigits) {
            route.held = rest.substr(at);  // more digits may follow
            break;
        }
        const std::string_view number = rest.substr(at + header.size(), end - at - header.size());
        const auto found = std::find_if(numbered_.begin(), numbered_.end(),
                                        [&](const auto& p) { return p.first == number; });
        // On the printing side a header starts the next frame, and so the next job.
        if (&route == &printed_ && route.target && route.target->JobRunning())
            route.target->EndJob("header");
        route.target = found == numbered_.end() ? nullptr : found->second;
        rest.remove_prefix(end);
    }
}

}  // namespace kelvo::printer
