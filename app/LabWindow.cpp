#include "app/LabWindow.h"

#include <QHeaderView>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/VirtualPrinterWindow.h"

using kelvo::printer::PrinterBox;
using kelvo::printer::VirtualPrinter;

namespace {

QString State(PrinterBox& box) {
    return QString::fromStdString(kelvo::printer::StateText(box));
}

}  // namespace

TLabWindow::TLabWindow(std::vector<Printer> printers, Dialogs& dialogs, QWidget* parent)
    : QWidget(parent, Qt::Window),
      printers_(std::move(printers)),
      panels_(printers_.size(), nullptr),
      dialogs_(dialogs) {
    setObjectName(QStringLiteral("LabWindow"));
    setWindowTitle(QStringLiteral("Virtual printer lab"));
    auto* layout = new QVBoxLayout(this);
    auto* split = new QSplitter(Qt::Vertical, this);
    layout->addWidget(split);
    Printers = new QTreeWidget(split);
    Printers->setObjectName(QStringLiteral("LabPrinters"));
    Printers->setRootIsDecorated(false);
    Printers->setHeaderLabels({QStringLiteral("Printer"), QStringLiteral("TCP"),
                               QStringLiteral("LPD"), QStringLiteral("Serial line"),
                               QStringLiteral("Paper"), QStringLiteral("State"),
                               QStringLiteral("Jobs"), QStringLiteral("Client")});
    for (const Printer& p : printers_) {
        auto* row = new QTreeWidgetItem(Printers);
        row->setText(kName, p.name);
        row->setText(kTcp, QString::fromStdString(p.box->TcpAddress()));
        row->setText(kLpd, QString::fromStdString(p.box->LpdAddress()));
        row->setText(kSerial, QString::fromStdString(p.box->PtyPath()));
        row->setText(kPaper, p.box->PaperWidth() == kelvo::printer::kPaper58Dots
                                 ? QStringLiteral("58 mm")
                                 : QStringLiteral("80 mm"));
    }
    Printers->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    Panels = new QStackedWidget(split);
    connect(Printers, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item != nullptr)
            Panels->setCurrentWidget(Panel(Printers->indexOfTopLevelItem(item)));
    });
    Printers->setCurrentItem(Printers->topLevelItem(0));
    poll_ = new QTimer(this);
    connect(poll_, &QTimer::timeout, this, &TLabWindow::Refresh);
    poll_->start(500);
    Refresh();
}

TVirtualPrinterWindow* TLabWindow::Panel(int row) {
    if (panels_[row] == nullptr) {
        panels_[row] = new TVirtualPrinterWindow(*printers_[row].box, dialogs_, Panels);
        panels_[row]->setWindowFlags(Qt::Widget);  // a panel here, not a window of its own
        Panels->addWidget(panels_[row]);
    }
    return panels_[row];
}

void TLabWindow::Refresh() {
    for (size_t i = 0; i < printers_.size(); ++i) {
        PrinterBox& box = *printers_[i].box;
        QTreeWidgetItem* row = Printers->topLevelItem(static_cast<int>(i));
        row->setText(kState, State(box));
        // Each printer's next job number counts the ones before it.
        uint64_t jobs = 0;
        for (int p = 0; p < PrinterBox::kPrinters; ++p)
            jobs += box.With(p, [](VirtualPrinter& printer) { return printer.Job().number - 1; });
        row->setText(kJobs, QString::number(jobs));
        const kelvo::printer::TcpQueue clients = box.TcpClients();
        QString client =
            clients.served ? QString::fromStdString(clients.served->address) : QString();
        if (const size_t waiting = clients.waiting.size() + size_t(clients.backlog))
            client += QStringLiteral(" (%1 waiting)").arg(waiting);
        row->setText(kClient, client);
    }
}
