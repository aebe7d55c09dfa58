#pragma once

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class QAbstractButton;

using TActivityLogStatusAnswers = std::array<std::optional<uint8_t>, 4>;

// One entry of the log, defined before the log so that it is complete where the log holds one
// (clang decides whether an optional of a nested class can be made before the class is done).
struct TActivityLogEntry {
    uint64_t serial = 0;  // counts up from 1 over the log's life
    QDateTime time;
    QString action;
    QString target;
    uint64_t sent = 0;
    std::string keptSent;
    uint64_t received = 0;  // bytes the printer sent back, answers included
    std::string keptReceived;
    bool failed = false;
    QString outcome;  // the failure in the system's own words; empty when all went well
    std::optional<int32_t> libraryCode;  // the printer library's result, shown with its meaning
    std::optional<TActivityLogStatusAnswers> status;
    TActivityLogStatusAnswers lateStatus;  // bytes that came after their request's time-out
    std::vector<std::string> commands;     // decoded once, when the entry is complete
    bool closedByPrinter = false;          // the printer closed the link between actions
    bool search = false;  // a search of its own (printers, a speed): its bytes are not counted
    bool tap = false;     // lines of a tap's stream, in `commands`
};

// What the window did at its links, one entry per user action: when, what the user pressed,
// which printer or port it reached, the bytes that went out (decoded), what came back, and how it
// really ended. Bounded: the oldest entries go first. The entries hold facts; their words are
// chosen when they are shown, in the language the window shows.
class TActivityLog : public QObject {
    Q_OBJECT

  public:
    static constexpr size_t kMaxEntries = 200;
    // Bytes kept per entry for showing; the count stays exact.
    static constexpr size_t kKeptBytes = 4096;
    static constexpr size_t kKeptReceived = 1024;
    // Decoded commands shown per entry.
    static constexpr size_t kShownCommands = 64;

    using StatusAnswers = TActivityLogStatusAnswers;

    using Entry = TActivityLogEntry;

    explicit TActivityLog(QObject* parent = nullptr) : QObject(parent) {}

    // One user action: what the links do until the scope ends becomes one entry, if anything
    // reached a link at all. Opened once where the action begins (a click, a tick); a handler that
    // clicks another button nests that click's scope in its own, which names the entry.
    class Action {
      public:
        Action(TActivityLog& log, const QString& name);
        ~Action();
        Action(const Action&) = delete;
        Action& operator=(const Action&) = delete;

      private:
        TActivityLog& log_;
    };
    bool InAction() const { return depth_ > 0; }

    // For the action in progress (ignored outside one). AddSent and AddReceived may be called
    // from the thread that runs the action's I/O.
    void SetTarget(const QString& target);
    void AddSent(const char* data, size_t size) noexcept;
    void AddReceived(const std::string& bytes) noexcept;
    // The first failure is the one that ended the action: later ones do not replace it.
    void SetFailure(const QString& text);
    // What the action's own results say, over any failure noted before (a library's codes).
    void SetOutcome(bool failed, const QString& text);
    void SetStatus(const StatusAnswers& answers, const StatusAnswers& late = {});
    // The printer library's result (-1 from its open, else 1001 to 1009) as the outcome.
    void SetLibraryResult(int32_t code);

    // Bytes a printer sent that nobody asked for: part of the action in progress, else an entry
    // of their own.
    void Unsolicited(const QString& target, const std::string& bytes);

    // The printer closed the link while no action used it: an entry of its own at once, with
    // what it sent last.
    void ClosedByPrinter(const QString& target, const std::string& bytes);

    // A search that runs beside the actions (printers on the network, a serial speed) came to
    // `outcome`: an entry of its own at once, whatever action is in progress.
    void Searched(const QString& action, const QString& target, bool failed,
                  const QString& outcome);

    // A tap's decoded stream came to `lines` (cli/TapStream.h): entries of their own at once,
    // kShownCommands lines each.
    void Tapped(const QString& route, const std::vector<std::string>& lines);

    const std::deque<Entry>& Entries() const { return entries_; }
    void Clear();

    // The whole log as text, entries apart by a blank line: what the panel shows, copies and saves.
    QString Text(bool english, bool hex) const;
    static QString EntryText(const Entry& entry, bool english, bool hex);
    // The printer's state in plain words, one line per fact; "no answer" where a request had none,
    // "late" with the byte where it came only after its time-out (never read as a state).
    static QStringList StatusLines(const StatusAnswers& answers, bool english,
                                   const StatusAnswers& late = {});
    // "0x12: Online, Drawer pin 3: low": an answer to DLE EOT 1 read as the status lines read it.
    static QString StatusByteText(uint8_t answer, bool english);
    // "1007 BMP malformed or truncated: nothing sent": a library result and what it means.
    static QString LibraryResultText(int32_t code, bool english);
    // A button's caption as the log and the progress dialog name the action: without its
    // accelerator.
    static QString ActionName(const QAbstractButton* button);

  signals:
    void Changed();

  private:
    void Commit();
    void Append(Entry entry);

    int depth_ = 0;
    mutable std::mutex mu_;  // guards open_ against the action's worker
    std::optional<Entry> open_;
    bool touched_ = false;  // a link was reached in the open action
    std::deque<Entry> entries_;
    uint64_t serial_ = 0;
};
