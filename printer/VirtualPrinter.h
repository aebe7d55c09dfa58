#pragma once

// A receipt printer of this family in software: it reads the byte stream as the printer would
// and keeps what a user could see (the paper) and what the printer stores (settings, NV images,
// counters), and answers status requests from its flags. No Qt: the window renders the paper.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "printer/Identity.h"
#include "printer/Paper.h"
#include "printer/VirtualPrinter_p.h"
#include "protocol/Decoder.h"
#include "protocol/FsQ.h"
#include "protocol/Persona.h"

namespace kelvo::printer {

// What the model holds at most, whatever it is sent.
// One feed: 1016 mm, the most a printer of this family feeds for one command.
inline constexpr int kMaxFeedDots = 8128;
// Rows of one printed picture: an NV image at double height.
inline constexpr int kImageRows = 2 * 8 * 288;
// One FS q download, all its images together, as the printer library sends at most; its images
// hold at most 8 dots per byte. A larger one is refused at the image size that passes it.
inline constexpr uint64_t kMaxNvBytes = kMaxFsQBytes;
// The image data of one GS v 0 raster; a header that declares more is refused at once.
inline constexpr uint64_t kMaxRasterBytes = uint64_t{4} << 20;
// An unfinished command kept for its rest: at most a GS v 0 raster (FS q is read as it comes).
inline constexpr uint64_t kMaxHeldBytes = kMaxRasterBytes + 8;
// Runs of one line: a line that keeps being written over (ESC $ back to its start) prints once
// it has this many, as a printer's line buffer holds one line of dots.
inline constexpr size_t kLineRuns = 512;
// ESC D tab stops, at most.
inline constexpr size_t kTabStops = 32;
// NV graphics (GS ( L / GS 8 L): all pictures' data together, in bytes, and their number.
inline constexpr uint64_t kNvGraphicsBytes = uint64_t{1} << 20;
inline constexpr size_t kNvGraphicsKept = 64;
// Jobs remembered, newest last.
inline constexpr size_t kJobsKept = 32;
// A watched job's bytes kept for its watcher, at most: a picture-heavy job fits, a runaway stream
// cannot take the memory.
inline constexpr size_t kJobTraceBytes = size_t{16} << 20;
// A watched job's answers kept for its watcher, at most, the rest only counted: a status request
// per receipt line fits, a picture's data full of DLE EOT cannot take the memory.
inline constexpr size_t kJobTraceAnswers = 4096;
// A status answer must not wait behind a long print: the box feeds a printer this many bytes at a
// time, and one slice's work is bounded (kMaxWorkPerByte, plus one picture of kImageRows rows).
inline constexpr size_t kFeedSlice = 4096;
// Steps of work (entries read, text bytes, dots written) per byte received, at most; but for the
// dots of bar codes and 2D symbols, which a few bytes draw (each symbol within kPaperDots x
// kImageRows, the same one printed again shared and not drawn again).
inline constexpr uint64_t kMaxWorkPerByte = 256;

// One job's bytes, from its first to its end: a TCP connection, a serial-line frame until the line
// pauses, a wireless frame until the pause or the next header.
struct JobRecord {
    uint64_t number = 1;  // counted from 1
    std::string
        endpoint;  // who sent it: "TCP 127.0.0.1:40112", "serial /dev/pts/3", "wireless 002"
    std::chrono::system_clock::time_point started{};  // its connection or its first byte
    std::chrono::system_clock::time_point ended{};
    uint64_t bytes = 0;        // received
    uint64_t refused = 0;      // commands refused for declaring more than the printer takes
    std::string dropped;       // the unfinished command dropped at the end ("GS v 0"), or empty
    uint64_t droppedHave = 0;  // its bytes received
    uint64_t droppedNeed = 0;  // what its bytes so far declare, at least
    std::string end;           // how it ended, as the caller of EndJob put it; empty while it runs
    // The paper items it printed, [firstItem, endItem), numbered as PaperDropped() counts them,
    // so that the range still names them after older paper was trimmed.
    uint64_t firstItem = 0;
    uint64_t endItem = 0;
    // What it printed, for a list of jobs: its first line of text, and how many of each item.
    std::string firstLine;
    uint64_t lines = 0;
    uint64_t pictures = 0;
    uint64_t cuts = 0;
};

// What the vendor configuration frames store; factory reset restores these defaults.
struct StoredSettings {
    char baudCode = 'D';      // 1F 1B 1F 53: D 115200, E 38400, F 19200, G 9600
    uint8_t intlCharset = 0;  // 1F 1B 1F FD
    uint8_t codePage = 0;     // 1F 1B 1F FF
    bool chineseMode = true;  // 1F 1B 1F FE x: x == 0
    uint8_t switches = 0x42;  // 1F 1B 1F 50
    std::array<uint8_t, 4> ip{192, 168, 1, 109};
    // 1F 02 57 49
    std::array<uint8_t, 6> mac{0x00, 0x47, 0x50, 0x00, 0x00, 0x01};  // 1F 02 57 43
    long Baud() const;
    bool operator==(const StoredSettings&) const = default;
};

// What a job's record leaves out, kept only while someone watches the printer's jobs.
struct JobTrace {
    std::string bytes;  // printed from, at most kJobTraceBytes (its record counts them all)
    // What the printer sent back meanwhile, real-time answers included: its first
    // kJobTraceAnswers bytes, and how many more.
    std::string answers;
    uint64_t answersMore = 0;
    StoredSettings before;  // as the job started
};

// The error DLE EOT 3 names: autocutter (bit 3), unrecoverable (bit 5), recovers by itself, as
// when the head has cooled (bit 6).
enum class ErrorCause : uint8_t { Unrecoverable, Cutter, AutoRecoverable };

// Cover open, paper out and an error each take the printer offline (DLE EOT 1 bit 3).
struct StatusFlags {
    bool online = true;
    bool coverOpen = false;
    bool paperNearEnd = false;
    bool paperOut = false;
    bool drawerOpen = false;  // drawer connector pin 3 high
    bool error = false;       // an error stopped printing (DLE EOT 2 bit 6)
    ErrorCause errorCause = ErrorCause::Unrecoverable;  // named while `error` is set
    bool operator==(const StatusFlags&) const = default;
};

struct Counters {
    uint64_t bytes = 0;
    uint64_t cuts = 0;
    uint64_t drawerPulses = 0;
    uint64_t lines = 0;
    uint64_t work = 0;        // steps: entries read, text bytes, dots written (see kMaxWorkPerByte)
    uint64_t symbolDots = 0;  // the dots of the symbols drawn, counted in work too
};

struct DrawnSymbol;  // printer/Symbols.h

// A command the printer read whole and did not print as sent.
struct Refusal {
    enum class Kind : uint8_t {
        TooLarge,       // a picture declaring more than the printer takes: refused at its header
        PictureCut,     // a picture wider than the paper: printed up to the paper's edge
        SymbolData,     // data its symbology refuses: nothing printed
        SymbolTooWide,  // a symbol wider than the paper (or taller than a picture): nothing printed
    };
    Kind kind;
    std::string what;  // in words: "EAN-13 \"12345\"", "a picture 640 dots wide"
};

// A picture stored in NV graphics memory (GS ( L function 67) under its two-byte key, with its
// prints at each scale drawn at the first and shared after.
struct NvGraphic {
    std::string key;
    PaperImage image;
    uint64_t bytes = 0;  // its data as sent
    std::array<std::optional<PaperImage>, 4> prints;
};

class VirtualPrinter {
  public:
    VirtualPrinter();

    // Takes the next bytes of the stream (any split: a command or a two-byte character cut
    // between two calls is joined). Returns what the printer sends back (DLE EOT answers).
    std::string Feed(std::string_view bytes);

    // The same two steps apart, as a printer with a receive buffer takes them. RealTime: bytes
    // as they arrive, before the printer gets to them, answering the real-time requests (DLE EOT
    // n, DLE ENQ n) among them at once, whatever the printer is doing. Print: bytes taken from the
    // receive buffer later, every one of them having been through RealTime first; the real-time
    // requests among them are not answered again.
    std::string RealTime(std::string_view received);
    std::string Print(std::string_view bytes);
    // As RealTime, for a client waiting behind the running job's while the printer holds that
    // job's bytes: `cut` is the client's own request cut by the end of its last bytes. Its
    // answers are no part of the running job's trace, nor of its own, which starts later.
    std::string RealTimeAside(std::string_view received, std::string& cut);

    // Offline: it prints nothing, as DLE EOT 1 bit 3 reports (cover open, paper out, an error).
    bool Offline() const;
    // Applies new flags and returns the automatic status (GS a) to send for them: four bytes
    // when a state the host watches changed, else nothing.
    std::string SetFlags(const StatusFlags& flags);
    // GS a n: the states whose changes are sent by themselves (bit 0 drawer, 1 online, 2 error,
    // 3 paper roll sensor); 0 when off.
    uint8_t AsbMask() const { return asbMask_; }
    // The four automatic status bytes for the current flags.
    std::string AsbStatus() const;

    // The paper printed so far, oldest first, at most the newest kPaperItems items (and within
    // kPaperImageDots and kPaperHeightDots). Text still waiting for its line end is not on it.
    const std::vector<PaperItem>& Paper() const { return paper_.Items(); }
    void ClearPaper() { paper_.Clear(); }
    size_t PaperSize() const { return paper_.Items().size(); }
    // Items dropped from the front so far (old ones, and all on ClearPaper): a view that counts
    // the items it has shown finds the next one at Paper()[shown - PaperDropped()].
    uint64_t PaperDropped() const { return paper_.Dropped(); }
    int64_t PaperHeight() const { return paper_.Height(); }
    // Dots of paper it has advanced since it was made: what its motor has done.
    uint64_t PaperFed() const { return paper_.Fed(); }
    size_t PaperImageDots() const { return paper_.ImageDots(); }
    // Bytes kept of an unfinished command (at most kMaxHeldBytes).
    size_t HeldBytes() const { return held_.size() + (nvLoad_ ? nvLoad_->header.size() : 0); }

    // A job begins from `endpoint` now (a connection taken, a frame started). A job already
    // running with bytes ends first ("next"). Bytes fed with no job running begin one by
    // themselves, from the endpoint last named.
    void StartJob(std::string endpoint);
    bool JobRunning() const { return jobRunning_; }
    // The connection ended: an unfinished command is dropped (the next job starts clean) and
    // noted in the job's record, with `how` it ended. The line not yet printed stays, as in a
    // printer's buffer.
    void EndJob(std::string how);
    // The job running, or the next one's number while none runs.
    const JobRecord& Job() const { return job_; }
    // Ended jobs, newest last, at most kJobsKept.
    const std::deque<JobRecord>& Jobs() const { return jobs_; }
    // Called as each job ends, with its record and trace, before the next starts (paper and
    // settings still as it left them); while set, the printer keeps a trace of the running job.
    // Called inside Feed, Print and EndJob: it must not call back into the printer.
    using JobWatcher = std::function<void(const JobRecord&, JobTrace)>;
    void WatchJobs(JobWatcher watcher);
    // Called at each command it refuses, inside Feed and Print, as it reads the command.
    using RefusalWatcher = std::function<void(const Refusal&)>;
    void WatchRefusals(RefusalWatcher watcher) { refusals_ = std::move(watcher); }

    const StoredSettings& Settings() const { return settings_; }
    // What it stores from power on, as though configured so before: its next jobs start from them.
    void SetSettings(const StoredSettings& settings);
    // What GS I answers.
    const Identity& Ident() const { return identity_; }
    void SetIdentity(Identity identity) { identity_ = std::move(identity); }
    // Answers that stand in for its own, whatever its state: another printer's, read from a
    // capture of it. Requests the persona does not name are answered as before.
    void SetPersona(kelvo::Persona persona) { persona_ = std::move(persona); }
    // NV images stored by FS q, numbered from 1; empty when none.
    const std::vector<PaperImage>& NvImages() const { return nv_; }
    // NV graphics defined by GS ( L / GS 8 L, in the order defined.
    const std::vector<NvGraphic>& NvGraphics() const { return nvGraphics_; }
    const Counters& Count() const { return counters_; }
    StatusFlags& Flags() { return flags_; }
    const StatusFlags& Flags() const { return flags_; }

    // The answer byte to DLE EOT n (1..4) for the current flags; 0 for any other n.
    uint8_t StatusByte(int n) const;

    // The paper loaded: kPaper80Dots or kPaper58Dots wide (any other width is not taken). What
    // prints from now on is laid out on it; the paper already printed stays as it was.
    bool SetPaperWidth(int dots);
    int PaperWidth() const { return paperWidth_; }

  private:
    // Reading the stream and acting on each command (VirtualPrinter.cpp).
    std::string Take(std::string_view bytes);
    void Interpret(std::string_view data, std::string& answer);
    void Hold(std::string_view rest, uint64_t needed);
    void Command(CommandId id, std::string_view c, std::string& answer);
    void SettingCommand(CommandId id, std::string_view c);
    void ResetModes();
    // The text state ESC @ returns to: the stored Chinese mode and code page.
    DecoderState PowerOnState() const { return {settings_.chineseMode, settings_.codePage}; }
    void Add(PaperItem item);
    // Text, its lines and character sets, feeds and cuts (Text.cpp).
    bool TextCommand(CommandId id, std::string_view c);
    size_t Text(std::string_view text, bool endsInput);
    void Put(std::string_view character, bool wide);
    void PutNarrow(std::string_view characters);
    void Place(std::string_view characters, const TextStyle& style, bool wide);
    void SelectIntl(uint8_t n);
    int AreaLeft() const;
    int AreaWidth() const;
    void MoveTo(int dots);
    void Control(uint8_t byte);
    void PrintLine(int feed);
    void PrintPendingLine();
    // Pictures, NV images and symbols (Graphics.cpp).
    bool GraphicsCommand(CommandId id, std::string_view c, std::string& answer);
    size_t LoadNv(std::string_view data);
    void Graphics(std::string_view p, std::string& answer);
    // `stored` at sx x sy (1 or 2 each), drawn into `prints` at its first print and shared after.
    const PaperImage& ScaledPrint(const PaperImage& stored,
                                  std::array<std::optional<PaperImage>, 4>& prints, int sx, int sy);
    void PrintPicture(PaperImage image);
    void PrintSymbol(const DrawnSymbol& symbol);
    void Refuse(Refusal::Kind kind, std::string what);
    // A picture of this width about to print: past the paper's edge it is cut.
    void CheckWidth(int64_t width);
    // Status requests and answers (Status.cpp).
    bool StatusCommand(CommandId id, std::string_view c, std::string& answer);
    std::string Answer(std::string_view received, std::string& cut);
    // Job bookkeeping (Jobs.cpp).
    void NoteJobItem(const PaperItem& item);
    void NoteAnswer(std::string_view answer);

    PaperRoll paper_;
    StoredSettings settings_;
    Identity identity_;
    kelvo::Persona persona_;
    std::vector<PaperImage> nv_;
    // Each NV image as printed at each FS p scale, drawn at its first print and shared after.
    std::vector<std::array<std::optional<PaperImage>, 4>> nvPrints_;
    std::optional<detail::NvLoad> nvLoad_;
    JobRecord job_;
    bool jobRunning_ = false;
    std::deque<JobRecord> jobs_;
    JobWatcher watcher_;
    RefusalWatcher refusals_;
    JobTrace trace_;  // while watched
    Counters counters_;
    StatusFlags flags_;
    int paperWidth_ = kPaper80Dots;
    uint8_t asbMask_ = 0;
    // Print: the real-time requests were answered as the bytes arrived.
    bool realTimeDone_ = false;
    // RealTime: a request cut by the end of the last input (DLE, or DLE and EOT or ENQ).
    std::string realTimeHeld_;

    // Print modes: ESC @ restores them.
    DecoderState state_;
    TextStyle style_;
    Align align_ = Align::Left;
    int lineSpacing_ = 30;
    detail::WideModes wideModes_;
    uint8_t intl_ = 0;
    int margin_ = 0;                      // GS L
    int areaWidth_ = 65535;               // GS W, cut to the paper when a line is laid out
    std::vector<int> tabs_;               // ESC D, in dots from the print area's left
    std::optional<PaperImage> graphics_;  // GS ( L function 112, waiting for function 50
    std::vector<NvGraphic> nvGraphics_;
    uint64_t nvGraphicsBytes_ = 0;

    std::vector<detail::LineRun> line_;
    bool placed_ = false;  // a position command moved the line's next character
    int lineDots_ = 0;
    // Height of the ESC * band that is the current line: its line end feeds from the band's top.
    int bandDots_ = 0;
    detail::SymbolModes symbols_;

    std::string held_;       // an unfinished command (or GBK lead byte) waiting for its rest
    uint64_t heldNeed_ = 0;  // re-read once held_ is this long
};

// A radio bridge with numbered printers behind it (001, 002, 003) plus the printer on the line
// itself: bytes that follow "+++++DYSJ" and a printer number go to that printer until the next
// header; bytes before any header go to the line's own printer; frames for a number the bridge
// does not hold are dropped. The number is matched as the digits sent ("002" is not "2").
class Bridge {
  public:
    explicit Bridge(VirtualPrinter& direct,
                    std::vector<std::pair<std::string, VirtualPrinter*>> numbered);
    std::string Feed(std::string_view bytes);  // what the printers answer
    // The line fell quiet: the radio frame is over, and bytes without a header go to the line's
    // own printer again. Returns whether a job ended with it.
    bool EndFrame();
    // The line's own printer's jobs come from `name` ("serial /dev/pts/3"); a numbered printer's
    // from "wireless " and its number. Each frame is a job: a header or a pause ends it.
    void SetLineName(std::string name) { lineName_ = std::move(name); }

    // As VirtualPrinter's RealTime and Print: each printer's real-time requests reach it as the
    // line carries them, the rest when the receive buffer gets to it. Each side follows the
    // headers on its own, and is told of the frame ends where it reads them.
    std::string RealTime(std::string_view received);
    void EndReceivedFrame();
    std::string Print(std::string_view bytes);

  private:
    // Where the headers send the bytes read so far.
    struct Route {
        VirtualPrinter* target;  // null while a frame for an unknown number runs
        std::string held;        // a header, or its number, cut by the end of the last input
    };
    template <class Send>
    void Split(Route& route, std::string_view bytes, Send send);
    // A frame's first printed bytes start its job, named after the printer it addresses.
    void StartFrameJob(VirtualPrinter& printer) const;

    VirtualPrinter* direct_;
    std::vector<std::pair<std::string, VirtualPrinter*>> numbered_;
    std::string lineName_ = "serial";
    Route printed_;
    Route received_;
};

}  // namespace kelvo::printer
