// A product's main form as a new user writes one: it knows the engine only
// by its public API (CUpgrade, startGetUpdateModuleVersion,
// saveSolutionInfoToPacketDir) and follows the documented calling order. It
// checks, downloads, and then applies in place or returns 2 for the
// launcher to hand over to the upgrader.
//
// TARVEX_PRODUCT_STEPS lists its steps, separated by commas, out of check,
// stop, download, save, apply and handover (default: check,download,apply).
// A check that finds nothing to upgrade ends the run. Each run appends one
// line to the file TARVEX_PRODUCT_RECORD: each step with its result, as
// "check=0 download=0 apply=0", or "up-to-date" after the check.

#include "app/iwidget.h"
#include "upgrade/cupgrade.h"
#include "upgrade/stagedinfo.h"
#include "upgrade/upgradecheck.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QObject>
#include <QTimer>

class ProductForm : public QObject, public IWidget
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID IWidget_iid)
    Q_INTERFACES(IWidget)

public:
    int Run(const std::string &strArgs) override;
};

int ProductForm::Run(const std::string &)
{
    const QString appDir = QCoreApplication::applicationDirPath();
    const QString solutionInfo = appDir + QLatin1String("/Solutions/SolutionInfo.xml");
    const QStringList steps = qEnvironmentVariable("TARVEX_PRODUCT_STEPS", QStringLiteral("check,download,apply"))
                                  .split(QLatin1Char(','), Qt::SkipEmptyParts);

    CUpgrade upgrade;
    QEventLoop loop;
    int result = -1;
    QVector<ModuleVersion> need;
    connect(&upgrade, &CUpgrade::signalGetUpdateModuleVersionFinish, &loop,
            [&](UpgradeOpError error, const QVector<ModuleVersion> &vecNeed, const QVector<ModuleVersion> &) {
                result = error;
                need = vecNeed;
                loop.quit();
            },
            Qt::QueuedConnection);
    connect(&upgrade, &CUpgrade::signalGetUpgradePacketStatus, &loop,
            [&](UpgradeOpError error, bool isFinished, int) {
                if (isFinished) {
                    result = error;
                    loop.quit();
                }
            },
            Qt::QueuedConnection);
    connect(&upgrade, &CUpgrade::signalUpgradeFinish, &loop,
            [&](UpgradeOpError error) {
                result = error;
                loop.quit();
            },
            Qt::QueuedConnection);
    const auto finished = [&]() {
        result = -1;
        // A run that never signals must not keep the product open for ever.
        QTimer::singleShot(300000, &loop, &QEventLoop::quit);
        loop.exec();
        upgrade.wait();
        return QString::number(result);
    };

    QStringList record;
    int exitCode = 0;
    for (const QString &step : steps) {
        if (step == QLatin1String("check")) {
            startGetUpdateModuleVersion(solutionInfo, &upgrade);
            record << step + QLatin1Char('=') + finished();
            if (result == UPGRADE_OP_SUCCESS && need.isEmpty()) {
                record << QStringLiteral("up-to-date");
                break;
            }
        } else if (step == QLatin1String("stop")) {
            upgrade.stopUpgrade();
            record << step;
        } else if (step == QLatin1String("download")) {
            upgrade.setNeedUpgradeModule(need);
            upgrade.setOpMode(CUpgrade::OP_MODE_GET_UPGRADE_PACKET);
            upgrade.start();
            record << step + QLatin1Char('=') + finished();
        } else if (step == QLatin1String("save")) {
            const bool isSaved = saveSolutionInfoToPacketDir(solutionInfo, appDir, need);
            record << step + QLatin1Char('=') + QLatin1String(isSaved ? "true" : "false");
        } else if (step == QLatin1String("apply")) {
            upgrade.setOpMode(CUpgrade::OP_MODE_UPGRADE_TMP_DIR_TO_DEST_DIR);
            upgrade.start();
            record << step + QLatin1Char('=') + finished();
        } else if (step == QLatin1String("handover")) {
            record << step;
            exitCode = 2;
        }
    }

    QFile file(qEnvironmentVariable("TARVEX_PRODUCT_RECORD"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(record.join(QLatin1Char(' ')).toUtf8() + '\n');
    return exitCode;
}

#include "productform.moc"
