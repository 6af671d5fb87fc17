#include "engine/run.h"

#include "engine/utf8replace.h"
#include "files/filenames.h"

#include <QFileInfo>

namespace {

constexpr int ProgressInterval = 100; // ms

} // namespace

ReplaceRun::ReplaceRun(const Job &job, const RunOptions &options, QObject *parent)
    : QObject(parent)
    , m_job(job)
    , m_options(options)
    , m_outcomes(job.files.size())
    , m_reported(job.files.size(), false)
    , m_control(std::make_shared<RunControl>(job.files.size()))
{
    m_tally.expected = job.files.size();
    m_progressTimer.setSingleShot(true);
    connect(&m_progressTimer, &QTimer::timeout, this, &ReplaceRun::reportProgress);
}

// Workers still out (abandoned in a runaway expression) report to nobody.
ReplaceRun::~ReplaceRun()
{
    m_control->stop();
}

void ReplaceRun::start()
{
    if (m_started)
        return;
    m_started = true;
    registerRepMetaTypes();
    m_sinceProgress.start();

    RepOptions repOptions;
    repOptions.ordinary = m_options.ordinary;
    repOptions.full = m_options.ordinary && m_options.full;
    repOptions.encoding = m_options.encoding;
    repOptions.dryRun = m_options.dryRun;
    repOptions.keepText = m_options.keepText;
    repOptions.keepFormat = m_options.keepFormat;

    for (int index = 0; index < m_job.files.size(); ++index) {
        const QString &path = m_job.files.at(index).path;
        // Encoded, such a name would be another file's.
        if (!isEncodableFileName(path)) {
            m_control->release(index);
            FileOutcome refused;
            refused.state = FAIL;
            refused.reason = Reason::NameNotEncodable;
            record(index, refused);
            continue;
        }
        const QFileInfo info(path);
        if (!info.isFile()) {
            m_control->release(index);
            FileOutcome lost;
            lost.state = LOST;
            lost.reason = info.exists() ? Reason::NotRegular : Reason::NotFound;
            record(index, lost);
            continue;
        }
        repOptions.pairs = m_job.files.at(index).pairs;
        auto *rep = new Rep(path, repOptions, index);
        rep->setControl(m_control);
        rep->setBytePath(bytePathFor(repOptions));
        connect(rep, &Rep::done, this, &ReplaceRun::workerDone);
        startRep(rep);
    }
    finishIfComplete();
}

// One byte route per distinct pair list: mode one shares a single list among all files.
std::shared_ptr<const Utf8Replace> ReplaceRun::bytePathFor(const RepOptions &options)
{
    const bool utf8 = m_options.encoding.isAutomatic()
        || m_options.encoding.codec() == TextEncoding::utf8().codec();
    if (!utf8 || m_options.keepText || !Utf8Replace::handles(options))
        return nullptr;
    const void *key = options.pairs.constData();
    auto it = m_bytePaths.find(key);
    if (it == m_bytePaths.end()) {
        const LineBreakMode mode
            = m_options.keepFormat ? LineBreakMode::KeepFormat : LineBreakMode::Windows;
        it = m_bytePaths.insert(key, std::make_shared<const Utf8Replace>(options, mode));
    }
    return it.value();
}

void ReplaceRun::cancel()
{
    if (!m_started || m_finished)
        return;
    m_control->stop();
    FileOutcome skipped;
    skipped.state = SKIPPED;
    skipped.reason = Reason::Stopped;
    for (int index = 0; index < m_job.files.size(); ++index) {
        if (!m_reported.at(index) && m_control->release(index))
            record(index, skipped);
    }
    finishIfComplete();
}

void ReplaceRun::workerDone(Rep * /*rep*/, STATE /*state*/, int index)
{
    if (m_finished || m_reported.at(index))
        return;
    record(index, m_control->outcome(index));
    finishIfComplete();
}

void ReplaceRun::record(int index, const FileOutcome &outcome)
{
    m_outcomes[index] = outcome;
    m_reported[index] = true;
    ++m_tally.done;
    switch (outcome.state) {
    case SUCCESS:
        ++m_tally.success;
        break;
    case FAIL:
        ++m_tally.fail;
        break;
    case LOST:
        ++m_tally.lost;
        break;
    case SKIPPED:
        ++m_tally.skipped;
        break;
    }
    emit fileDone(index, outcome.state);
    if (m_sinceProgress.elapsed() >= ProgressInterval)
        reportProgress();
    else if (!m_progressTimer.isActive())
        m_progressTimer.start(ProgressInterval - int(m_sinceProgress.elapsed()));
}

void ReplaceRun::reportProgress()
{
    m_progressTimer.stop();
    m_sinceProgress.restart();
    emit progressed();
}

void ReplaceRun::finishIfComplete()
{
    if (m_finished || !m_tally.isComplete())
        return;
    m_finished = true;
    reportProgress();
    emit finished();
}
