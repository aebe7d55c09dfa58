// The start-up probe for the window: what kelvotool's main does for the plain window, ending as
// soon as the window's first paint has happened. `--census` prints the window's widgets by kind.
#include <QApplication>

#include "KelvoVersion.h"
#include "app/Unit1.h"
#include "bench/Probe.h"

int main(int argc, char* argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("Kelvotool"));
    QCoreApplication::setApplicationVersion(QLatin1String(kelvo::kVersion));
    const bool census = kelvo::bench::CensusAsked(argc, argv);
    QApplication app(argc, argv);
    TForm1 form;
    return kelvo::bench::ShowUntilFirstPaint(form, census);
}
