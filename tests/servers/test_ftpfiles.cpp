// Putting a downloaded file in place: the old file kept as backup, or put
// back when the new one cannot take its place.
#include "serversfixture.h"

#include "ftpfiles.h"

#include <QFileInfo>
#include <optional>

using testsupport::ServersFixture;

namespace {

using testsupport::operator<<;

struct PlaceCase {
    const char* name;
    std::optional<QByteArray> target; // the file being replaced; nothing: none
    std::optional<QByteArray> backup; // an older backup; nothing: none
    std::optional<QByteArray> temporary; // the downloaded file; nothing: it is gone
    servers::FtpResult result;
    QStringList log; // {t} target, {b} backup, {n} temporary
    std::optional<QByteArray> targetAfter;
    std::optional<QByteArray> backupAfter;
};

class PutInPlaceTest : public ServersFixture, public testing::WithParamInterface<PlaceCase> {};

TEST_P(PutInPlaceTest, LeavesTheFilesAndLogsTheSteps)
{
    const PlaceCase& c = GetParam();
    const QString data = folder(QStringLiteral("data"));
    const QString target = data + QStringLiteral("/priser.txt");
    const QString backup = servers::backupPath(target);
    const QString temporary = target + QStringLiteral(".a1b2c3.tmp");
    if (c.target)
        writeAll(target, *c.target);
    if (c.backup)
        writeAll(backup, *c.backup);
    if (c.temporary)
        writeAll(temporary, *c.temporary);

    EXPECT_EQ(servers::putInPlace(target, temporary, backup), c.result);

    QStringList expected;
    for (QString line : c.log)
        expected << line.replace(QStringLiteral("{t}"), target)
                        .replace(QStringLiteral("{b}"), backup)
                        .replace(QStringLiteral("{n}"), temporary);
    EXPECT_EQ(logTexts(), expected);
    EXPECT_EQ(QFileInfo::exists(target), c.targetAfter.has_value());
    if (c.targetAfter) {
        EXPECT_EQ(readAll(target), *c.targetAfter);
    }
    EXPECT_EQ(QFileInfo::exists(backup), c.backupAfter.has_value());
    if (c.backupAfter) {
        EXPECT_EQ(readAll(backup), *c.backupAfter);
    }
    EXPECT_FALSE(c.result == servers::FtpResult::Done && QFileInfo::exists(temporary));
    EXPECT_EQ(rt::state().errorCount, c.result == servers::FtpResult::Done ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PutInPlaceTest,
    testing::Values(
        PlaceCase{"NoOldFile", std::nullopt, std::nullopt, "nytt", servers::FtpResult::Done,
                  {QStringLiteral("FTP: endret navn på {n} til {t}")}, "nytt", std::nullopt},
        PlaceCase{"OldFileAndOlderBackup", "gammelt", "eldst", "nytt", servers::FtpResult::Done,
                  {QStringLiteral("FTP: slettet midlertidig fil: {b}"),
                   QStringLiteral("FTP: endret navn på {t} til {b}"),
                   QStringLiteral("FTP: endret navn på {n} til {t}")},
                  "nytt", "gammelt"},
        PlaceCase{"NewFileGoneOldFileGoesBack", "gammelt", std::nullopt, std::nullopt,
                  servers::FtpResult::NotPutInPlace,
                  {QStringLiteral("FTP: endret navn på {t} til {b}"),
                   QStringLiteral("FTP: endret navn på {b} til {t}"),
                   QStringLiteral("FEIL: FTP: Feil nr. 503, kan ikke sette den nye filen på plass som {t}; "
                                  "den ligger i {n}")},
                  "gammelt", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
