// The web page's refusals: no path reaches a file outside a printer's jobs folder, and beyond
// loopback no change is made without the printer's token.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "printer/Faults.h"
#include "printer/PrinterBox.h"
#include "testing/TempDir.h"
#include "testing/TestHost.h"
#include "web/WebServer.h"

namespace fs = std::filesystem;
using kelvo::printer::PrinterBox;
using kelvo::web::WebServer;

namespace {

constexpr char kSecret[] = "not for the page";

void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct Served {
    explicit Served(const std::string& host) {
        PrinterBox::Options options;
        options.tcp.host = kelvo::testing::OwnLoopbackHost();
        options.tcp.port = 0;
        options.serial = false;
        box = std::make_unique<PrinterBox>(options);
        const fs::path root = dir.path();
        fs::create_directory(root / "jobs");
        Write(root / "secret", kSecret);
        for (const char* suffix : {".json", ".txt", ".png", ".bin"})
            Write(root / "jobs" / (std::string("job-0001") + suffix), "{}");
        // A job whose picture is a link out of the folder.
        for (const char* suffix : {".json", ".txt", ".bin"})
            Write(root / "jobs" / (std::string("job-0002") + suffix), "{}");
        fs::create_symlink(root / "secret", root / "jobs" / "job-0002.png");
        web = std::make_unique<WebServer>(
            WebServer::Options{host, 0},
            std::vector<kelvo::web::WebPrinter>{{"network", root / "jobs", box.get()}},
            [this](const std::string& line) {
                return kelvo::printer::ControlRequest(
                    line, [this](const std::string&, const kelvo::printer::FaultAction& a) {
                        box->Apply(a);
                        return true;
                    });
            });
        client = std::make_unique<httplib::Client>(
            "127.0.0.1", std::stoi(web->Url().substr(web->Url().rfind(':') + 1)));
        client->set_url_encode(false);  // the paths go as written, encoded forms and all
    }
    bool PaperOut() {
        return box->With(0, [](kelvo::printer::VirtualPrinter& p) { return p.Flags().paperOut; });
    }
    kelvo::testing::TempDir dir;
    std::unique_ptr<PrinterBox> box;
    std::unique_ptr<WebServer> web;
    std::unique_ptr<httplib::Client> client;
};

}  // namespace

TEST(WebPage, NoPathReachesAFileOutsideTheJobsFolder) {
    Served served("127.0.0.1");
    ASSERT_EQ(served.client->Get("/api/jobs/1/files/png")->status, 200);  // the way in works
    for (const char* path :
         {"/../secret", "/%2e%2e/secret", "/%2E%2E%2Fsecret", "/api/jobs/1/files/..%2f..%2fsecret",
          "/api/jobs/1/files/../../../secret", "/api/jobs/1/files/%2e%2e%2f%2e%2e%2fsecret",
          "/api/jobs/..%2f..%2fsecret/files/png", "/api/jobs/1/files/png%00/../../secret",
          "/api/jobs/2/files/png"}) {
        const httplib::Result res = served.client->Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_GE(res->status, 400) << path;
        EXPECT_EQ(res->body.find(kSecret), std::string::npos) << path;
    }
}

TEST(WebPage, BeyondLoopbackAChangeNeedsTheToken) {
    Served served("0.0.0.0");  // reached here through loopback only
    const std::string set = "/api/printers/network/set", clear = "/api/printers/network/clear";
    for (const httplib::Headers& headers :
         {httplib::Headers{}, httplib::Headers{{"Authorization", "Bearer wrong"}},
          httplib::Headers{{"Authorization", served.web->Token()}}}) {
        EXPECT_EQ(served.client->Post(set, headers, "paper-out on", "text/plain")->status, 403);
        EXPECT_EQ(served.client->Post(clear, headers, "", "text/plain")->status, 403);
    }
    EXPECT_FALSE(served.PaperOut());
    EXPECT_TRUE(fs::exists(fs::path(served.dir.path()) / "jobs" / "job-0001.json"));
    const httplib::Headers token{{"Authorization", "Bearer " + served.web->Token()}};
    EXPECT_EQ(served.client->Post(set, token, "paper-out on", "text/plain")->status, 200);
    EXPECT_TRUE(served.PaperOut());
}

TEST(WebPage, OnLoopbackOtherSitesAreRefused) {
    Served served("127.0.0.1");
    // A name of another site's that points here, and a change sent from another site's page.
    EXPECT_EQ(served.client->Get("/api/printers", {{"Host", "shop.example:80"}})->status, 421);
    EXPECT_EQ(served.client
                  ->Post("/api/printers/network/set", {{"Origin", "http://shop.example"}},
                         "paper-out on", "text/plain")
                  ->status,
              403);
    EXPECT_FALSE(served.PaperOut());
}
