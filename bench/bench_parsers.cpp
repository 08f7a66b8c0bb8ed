// How long the mail header parsers take with hostile input: a From header of
// about 100 KB made of commas (and of other shapes a sender can choose), and
// a recipient list of 40,000 entries. Prints figures and asserts nothing
// about them; targets are printed beside each figure.
//
//   bench_parsers
#include "addresslist.h"
#include "mailheader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kRepeats = 5;           // runs per figure, the median printed
constexpr double kBudgetMs = 20000.0; // fewer runs when one takes long
constexpr int kFromBytes = 100 * 1000;
constexpr int kEntries = 40000;

double medianMs(const std::function<void()>& run)
{
    std::vector<double> times;
    double spent = 0;
    for (int r = 0; r < kRepeats && (r == 0 || spent < kBudgetMs); ++r) {
        QElapsedTimer timer;
        timer.start();
        run();
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
        spent += times.back();
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

QByteArray repeated(const QByteArray& piece, int bytes)
{
    QByteArray out;
    out.reserve(bytes + piece.size());
    while (out.size() < bytes)
        out += piece;
    return out;
}

void benchFrom(const char* what, const QByteArray& value)
{
    const QByteArray header = "From: " + value + "\r\nSubject: Hei\r\n\r\n";
    qsizetype shown = 0;
    const double ms = medianMs([&] { shown = net::parseHeader(header).from.size(); });
    std::printf("From header of %lld KB, %s: %.2f ms (target < 5 ms; %lld characters shown)\n",
                qint64(value.size()) / 1000, what, ms, qint64(shown));
}

void benchList(const char* what, const std::function<QString(int)>& entry)
{
    QString text;
    for (int i = 0; i < kEntries; ++i)
        text += entry(i) + QStringLiteral(", ");
    qsizetype entries = 0;
    const double ms = medianMs([&] { entries = net::parseAddressList(text).size(); });
    std::printf("recipient list of %d entries, %s (%lld KB): %.1f ms (target < 100 ms; %lld entries read)\n",
                kEntries, what, qint64(text.size()) / 1000, ms, qint64(entries));
}

} // namespace

int main()
{
    benchFrom("commas only", repeated(",", kFromBytes));
    benchFrom("commas, an '@' last", repeated(",", kFromBytes) + "@");
    benchFrom("words and commas", repeated("a,", kFromBytes));
    benchFrom("words and commas, an address last", repeated("a, ", kFromBytes) + "<ola@example.no>");
    benchFrom("colons", repeated(":", kFromBytes));
    benchFrom("open brackets", repeated("<", kFromBytes));

    benchList("names and addresses",
              [](int i) { return QStringLiteral("Navn %1 <bruker%1@example.no>").arg(i); });
    benchList("bare addresses", [](int i) { return QStringLiteral("bruker%1@example.no").arg(i); });
    benchList("names without addresses", [](int i) { return QStringLiteral("Navn %1").arg(i); });
    benchList("group markers", [](int i) { return QStringLiteral("Team%1: b%1@example.no").arg(i); });
    // Every name without an address joins the entry after it when that
    // entry has an address in < >.
    benchList("one address in < > at the end", [](int i) {
        return i + 1 == kEntries ? QStringLiteral("<ola@example.no>") : QStringLiteral("navn%1").arg(i);
    });
    return 0;
}
