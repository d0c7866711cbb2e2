#include "VoridIzid.h"

#include "StartupGate.h"
#include "TaviCoach.h"
#include "TaviError.h"

namespace {

const QString kInitialInstruction = QStringLiteral(
    "Make Tavi a bit warmer and more conversational, still concise, Indonesian first.");
const QString kInitialPreviewMessage = QStringLiteral("Cari tiket ke Bangkok tanggal 5 Oktober");
const QString kInitialStatus = QStringLiteral("Load the live pack to begin.");

} // namespace

VoridIzid::VoridIzid(QObject *parent)
    : QObject(parent)
    , m_apiBase(PackAPI::defaultBase().toString(QUrl::FullyEncoded))
    , m_instruction(kInitialInstruction)
    , m_previewMessage(kInitialPreviewMessage)
    , m_status(kInitialStatus)
{ }

VoridIzid::~VoridIzid()
{
    *m_alive = false;
}

void VoridIzid::setApiBase(const QString &apiBase)
{
    if (m_apiBase == apiBase)
        return;
    m_apiBase = apiBase;
    Q_EMIT apiBaseChanged();
}

void VoridIzid::setOperatorToken(const QString &operatorToken)
{
    if (m_operatorToken == operatorToken)
        return;
    m_operatorToken = operatorToken;
    Q_EMIT operatorTokenChanged();
}

void VoridIzid::setPack(std::optional<CapabilityPack> pack)
{
    m_pack = std::move(pack);
    Q_EMIT packChanged();
}

QVariant VoridIzid::packVariant() const
{
    return m_pack ? QVariant::fromValue(*m_pack) : QVariant();
}

QString VoridIzid::packVersion() const
{
    return m_pack ? m_pack->version : QString();
}

QString VoridIzid::voice() const
{
    return m_pack ? m_pack->modules.persona.voice : QString();
}

void VoridIzid::setVoice(const QString &voice)
{
    // Without a draft there is nothing to edit; the editor is disabled then.
    if (!m_pack || m_pack->modules.persona.voice == voice)
        return;
    CapabilityPack edited = *m_pack;
    edited.modules.persona.voice = voice;
    setPack(std::move(edited));
}

QString VoridIzid::cta() const
{
    return m_pack ? m_pack->modules.replyRules.cta : QString();
}

void VoridIzid::setCta(const QString &cta)
{
    if (!m_pack || m_pack->modules.replyRules.cta == cta)
        return;
    CapabilityPack edited = *m_pack;
    edited.modules.replyRules.cta = cta;
    setPack(std::move(edited));
}

void VoridIzid::setInstruction(const QString &instruction)
{
    if (m_instruction == instruction)
        return;
    m_instruction = instruction;
    Q_EMIT instructionChanged();
}

void VoridIzid::setPreviewMessage(const QString &previewMessage)
{
    if (m_previewMessage == previewMessage)
        return;
    m_previewMessage = previewMessage;
    Q_EMIT previewMessageChanged();
}

void VoridIzid::setPreviewReply(const QString &previewReply)
{
    if (m_previewReply == previewReply)
        return;
    m_previewReply = previewReply;
    Q_EMIT previewReplyChanged();
}

void VoridIzid::setSourceLabel(const QString &sourceLabel)
{
    if (m_sourceLabel == sourceLabel)
        return;
    m_sourceLabel = sourceLabel;
    Q_EMIT sourceLabelChanged();
}

void VoridIzid::setStatus(const QString &status)
{
    if (m_status == status)
        return;
    m_status = status;
    Q_EMIT statusChanged();
}

void VoridIzid::setBusy(bool busy)
{
    if (m_busy == busy)
        return;
    m_busy = busy;
    Q_EMIT busyChanged();
}

void VoridIzid::setLive(const CapabilityPack &live)
{
    m_live = live;
    Q_EMIT liveChanged();
}

void VoridIzid::fail(std::exception_ptr error)
{
    setStatus(errorDescription(error));
}

PackAPI VoridIzid::api() const
{
    return PackAPI {
        PackAPI::parseBaseURL(m_apiBase).value_or(PackAPI::defaultBase()), m_operatorToken};
}

// Every operation below follows one frame: set busy, take its inputs once, await,
// then — only if the workspace still exists — write the outcome and clear busy.

QCoro::Task<> VoridIzid::loadAsync()
{
    const std::shared_ptr<bool> alive = m_alive;
    setBusy(true);
    const PackAPI client = api();
    try {
        // Shown at once, asked once the window has drawn its first frame.
        co_await StartupGate::released();
        if (!*alive)
            co_return;
        CapabilityPack fetched = co_await client.current();
        if (!*alive)
            co_return;
        setLive(fetched);
        setPack(std::move(fetched));
        setStatus(QStringLiteral("Loaded ") + m_pack->version);
    } catch (...) {
        if (!*alive)
            co_return;
        fail(std::current_exception());
    }
    setBusy(false);
}

QCoro::Task<> VoridIzid::coachAsync()
{
    if (!m_pack)
        co_return;
    const std::shared_ptr<bool> alive = m_alive;
    setBusy(true);
    const CapabilityPack draft = *m_pack;
    const QString instruction = m_instruction;
    const PackAPI client = api();
    try {
        std::optional<CoachOutcome> outcome = co_await TaviCoach::appleDraft(instruction, draft);
        if (!*alive)
            co_return;
        if (!outcome) {
            CapabilityPack coached = co_await client.coach(instruction, draft);
            if (!*alive)
                co_return;
            outcome = CoachOutcome {std::move(coached), std::nullopt, CoachSource::mlx};
        }
        const QString source = rawValue(outcome->source);
        setPack(std::move(outcome->pack));
        if (outcome->preview)
            setPreviewReply(*outcome->preview);
        setSourceLabel(QStringLiteral("Coach: ") + source);
        setStatus(QStringLiteral("Draft updated via ") + source);
    } catch (...) {
        if (!*alive)
            co_return;
        fail(std::current_exception());
    }
    setBusy(false);
}

QCoro::Task<> VoridIzid::previewAsync()
{
    if (!m_pack)
        co_return;
    const std::shared_ptr<bool> alive = m_alive;
    setBusy(true);
    const CapabilityPack draft = *m_pack;
    const QString message = m_previewMessage;
    const PackAPI client = api();
    try {
        std::optional<QString> reply = co_await TaviCoach::applePreview(message, draft);
        if (!*alive)
            co_return;
        CoachSource source = CoachSource::appleFoundation;
        if (!reply) {
            reply = co_await client.preview(message, draft);
            if (!*alive)
                co_return;
            source = CoachSource::mlx;
        }
        setPreviewReply(*reply);
        setSourceLabel(QStringLiteral("Preview: ") + rawValue(source));
        setStatus(QStringLiteral("Preview via ") + rawValue(source));
    } catch (...) {
        if (!*alive)
            co_return;
        fail(std::current_exception());
    }
    setBusy(false);
}

QCoro::Task<> VoridIzid::publishAsync()
{
    if (!m_pack)
        co_return;
    const std::shared_ptr<bool> alive = m_alive;
    setBusy(true);
    const CapabilityPack draft = *m_pack;
    const PackAPI client = api();
    try {
        CapabilityPack live = co_await client.publish(draft);
        if (!*alive)
            co_return;
        setLive(live);
        setPack(std::move(live));
        setStatus(QStringLiteral("Live Tavi now ") + m_pack->version);
    } catch (...) {
        if (!*alive)
            co_return;
        fail(std::current_exception());
    }
    setBusy(false);
}

QCoro::Task<> VoridIzid::rollbackAsync()
{
    const std::shared_ptr<bool> alive = m_alive;
    setBusy(true);
    const PackAPI client = api();
    try {
        CapabilityPack live = co_await client.rollback();
        if (!*alive)
            co_return;
        setLive(live);
        setPack(std::move(live));
        setStatus(QStringLiteral("Rolled back to ") + m_pack->version);
    } catch (...) {
        if (!*alive)
            co_return;
        fail(std::current_exception());
    }
    setBusy(false);
}

// The tasks are not kept: a discarded QCoro task runs to its end on its own, and
// every failure already ends in the status line.
void VoridIzid::load()
{
    loadAsync();
}

void VoridIzid::coach()
{
    coachAsync();
}

void VoridIzid::preview()
{
    previewAsync();
}

void VoridIzid::publish()
{
    publishAsync();
}

void VoridIzid::rollback()
{
    rollbackAsync();
}
