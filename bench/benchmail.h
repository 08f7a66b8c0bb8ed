// What the benchmarks share: the sample mailbox, the settings that point
// the main window at a server, memory figures and medians.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <vector>

namespace benchmail {

// A plain text message as a mail server would store it, about 500 bytes.
QByteArray benchMessage(int i);
// Messages 1 … n.
QList<QByteArray> mailbox(int n);

// The per-user mail settings for host:port, with the list shown; prints an
// ERROR line and returns false when they cannot be written.
bool writeBenchSettings(const QString& host, std::uint16_t port, const QString& user, const QString& password);

// VmHWM and VmRSS of this process (or of process pid), in kB; -1 when not found.
struct Memory {
    long long peakKb = -1;
    long long residentKb = -1;
};
Memory readMemory(long long pid = 0);
void printMemory(const char* label, const Memory& m);

double median(std::vector<double> v);

// Before the application object: the offscreen platform unless another is
// asked for, and its warning on every window mask change dropped.
void offscreenWithoutMaskWarnings();

} // namespace benchmail
