#pragma once

// The headless printer's job files: each job a box's printers end saved as job-NNNN.png, .txt,
// .bin and .json in its printer's folder, and reported on stdout.

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/HeadlessPrinter.h"
#include "paint/GreyPng.h"
#include "paint/ReceiptPainter.h"
#include "printer/JobReport.h"
#include "printer/PrinterBox.h"
#include "protocol/Json.h"

QByteArray Bytes(const std::string& bytes);
// What went wrong saving `bytes` as `path`, or nothing.
QString Save(const QString& path, const QByteArray& bytes);
// The highest number among the job-NNNN.* files in `dir`: a new run goes on from it, so that it
// neither overwrites an earlier run's jobs nor mixes its own in among them.
uint64_t LastJobNumber(const QString& dir);

// What every job is drawn and encoded with: one painter, whose pictures are drawn once, and the
// buffers a job's picture needs, kept for the next.
struct JobPictures {
    kelvo::paint::ReceiptPainter painter;
    std::vector<uchar> canvas;
    kelvo::paint::GreyPngWriter png;
};

// Saves the jobs a box's printers end, on the main thread, numbered in the order they ended; a
// status exchange is reported, not saved, and takes no number.
class JobSaver {
  public:
    // `name`: the lab's name of the printer, empty for the one printer of a run without a lab.
    // `drawn`: its jobs' pictures saved too. `report`: a line on stdout per job.
    JobSaver(const QString& dir, std::string name, bool json, JobPictures& pictures, bool drawn,
             bool report = true)
        : dir_(dir),
          name_(std::move(name)),
          json_(json),
          drawn_(drawn),
          report_(report),
          saved_(LastJobNumber(dir)),
          pictures_(pictures) {}

    // Told the number of each job whose files were all saved.
    void OnSaved(std::function<void(uint64_t)> saved) { onSaved_ = std::move(saved); }

    // Whether it was a job (not a status exchange).
    bool SaveJob(const kelvo::printer::EndedJob& job) {
        const kelvo::printer::JobReport report = kelvo::printer::ReportOf(job);
        if (kelvo::printer::IsStatusExchange(report)) {
            Report(kelvo::json::Object().Add("event", "status exchange"), job,
                   "status exchange: " + Source(job) + ", answered " +
                       (report.statusAnswers.empty() ? std::string("nothing")
                                                     : kelvo::HexBytes(report.statusAnswers)),
                   [&](kelvo::json::Object& line) {
                       line.Add("answers", kelvo::HexBytes(report.statusAnswers));
                   });
            return false;
        }
        const uint64_t n = ++saved_;
        const QString base = QStringLiteral("job-%1").arg(n, 4, 10, QLatin1Char('0'));
        const std::string& raw = job.trace.bytes;
        QString files, why;
        const QDir dir(dir_);
        if (!dir_.isEmpty()) {
            QByteArray png;
            if (drawn_) {
                pictures_.painter.SetPaperWidth(job.paperDots);
                pictures_.painter.SetPaper(job.paper);
                png = pictures_.png.Write(pictures_.painter.Render(pictures_.canvas));
            }
            const std::string record = kelvo::printer::RecordJson(report, n);
            // The record last: once it is there, the job's other files are too.
            const std::pair<const char*, QByteArray> parts[] = {{".bin", Bytes(raw)},
                                                                {".png", png},
                                                                {".txt", Bytes(report.text)},
                                                                {".json", Bytes(record)}};
            QStringList saved;
            for (const auto& [suffix, bytes] : parts) {
                if (!drawn_ && std::strcmp(suffix, ".png") == 0)
                    continue;
                const QString path = dir.filePath(base + QLatin1String(suffix));
                why = Save(path, bytes);
                if (!why.isEmpty())
                    break;
                saved << path;
            }
            if (!why.isEmpty()) {
                // Half a job would pass for a whole one.
                for (const QString& path : saved)
                    QFile::remove(path);
                std::fprintf(stderr, "kelvotool virtual-printer: %s\n", qPrintable(why));
            }
            files = why.isEmpty() ? QStringLiteral(", saved as %1.*").arg(dir.filePath(base))
                                  : QStringLiteral(", NOT saved in %1").arg(dir_);
            if (why.isEmpty() && onSaved_)
                onSaved_(n);
        }
        Report(kelvo::json::Object().Add("event", "job").Add("job", n), job,
               "job " + std::to_string(n) + ": " + Source(job) + files.toStdString(),
               [&](kelvo::json::Object& line) {
                   line.Add("first_line", job.record.firstLine)
                       .Add("lines", job.record.lines)
                       .Add("cuts", job.record.cuts);
                   if (dir_.isEmpty())
                       line.Null("saved");
                   else if (why.isEmpty())
                       line.Add("saved", dir.filePath(base).toStdString());
                   else
                       line.Add("saved", false).Add("error", why.toStdString());
               });
        return true;
    }

  private:
    static std::string Source(const kelvo::printer::EndedJob& job) {
        return std::to_string(job.record.bytes) + " bytes from " + job.record.endpoint + ", " +
               job.record.end;
    }
    // One line on stdout: `text`, or with --json `line` and the job's own members.
    template <class More>
    void Report(kelvo::json::Object line, const kelvo::printer::EndedJob& job,
                const std::string& text, More more) {
        if (!report_)
            return;
        if (json_) {
            if (name_.empty())
                line.Null("printer");
            else
                line.Add("printer", name_);
            line.Add("endpoint", job.record.endpoint)
                .Add("bytes", job.record.bytes)
                .Add("end", job.record.end);
            more(line);
            std::printf("%s\n", line.str().c_str());
        } else {
            std::printf("%s%s\n", name_.empty() ? "" : (name_ + ": ").c_str(), text.c_str());
        }
        std::fflush(stdout);
    }

    QString dir_;
    std::string name_;
    bool json_ = false;
    bool drawn_ = true;
    bool report_ = true;
    uint64_t saved_ = 0;
    JobPictures& pictures_;
    std::function<void(uint64_t)> onSaved_;
};
