#pragma once

#include "CapabilityPack.h"
#include "PackAPI.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

#include <memory>
#include <optional>

// The workspace of the window: what the operator sees and edits, and the five
// operations that change it. Lives on the user-interface thread; every
// operation runs as a coroutine on that thread's event loop and writes the
// state only there.
class VoridIzid : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString apiBase READ apiBase WRITE setApiBase NOTIFY apiBaseChanged)
    Q_PROPERTY(
        QString operatorToken READ operatorToken WRITE setOperatorToken NOTIFY operatorTokenChanged)
    // The draft as a CapabilityPack in a QVariant (null while no pack is held);
    // QML edits it through the properties below.
    Q_PROPERTY(QVariant pack READ packVariant NOTIFY packChanged)
    Q_PROPERTY(bool hasPack READ hasPack NOTIFY packChanged)
    Q_PROPERTY(QString packVersion READ packVersion NOTIFY packChanged)
    Q_PROPERTY(QString voice READ voice WRITE setVoice NOTIFY packChanged)
    Q_PROPERTY(QString cta READ cta WRITE setCta NOTIFY packChanged)
    Q_PROPERTY(QString instruction READ instruction WRITE setInstruction NOTIFY instructionChanged)
    Q_PROPERTY(QString previewMessage READ previewMessage WRITE setPreviewMessage NOTIFY
            previewMessageChanged)
    Q_PROPERTY(QString previewReply READ previewReply NOTIFY previewReplyChanged)
    Q_PROPERTY(QString sourceLabel READ sourceLabel NOTIFY sourceLabelChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)

public:
    explicit VoridIzid(QObject *parent = nullptr);
    ~VoridIzid() override;

    QString apiBase() const { return m_apiBase; }
    void setApiBase(const QString &apiBase);
    QString operatorToken() const { return m_operatorToken; }
    void setOperatorToken(const QString &operatorToken);

    const std::optional<CapabilityPack> &pack() const { return m_pack; }
    // Replaces the draft; how the editor stores each keystroke.
    void setPack(std::optional<CapabilityPack> pack);
    QVariant packVariant() const;
    bool hasPack() const { return m_pack.has_value(); }
    QString packVersion() const;
    // The pack as the service last returned it (after a load, publish or
    // rollback): what is live, as far as this window knows. Edits never touch it.
    const std::optional<CapabilityPack> &live() const { return m_live; }
    QString voice() const;
    void setVoice(const QString &voice);
    QString cta() const;
    void setCta(const QString &cta);

    QString instruction() const { return m_instruction; }
    void setInstruction(const QString &instruction);
    QString previewMessage() const { return m_previewMessage; }
    void setPreviewMessage(const QString &previewMessage);
    QString previewReply() const { return m_previewReply; }
    QString sourceLabel() const { return m_sourceLabel; }
    QString status() const { return m_status; }
    bool busy() const { return m_busy; }

    // A fresh client from the two settings fields as typed; a base that does not
    // parse as a URL (the empty text included) means the default base.
    PackAPI api() const;

    // The operations, awaitable from C++. None fails to its caller: every outcome
    // ends in the status line.
    QCoro::Task<> loadAsync();
    QCoro::Task<> coachAsync();
    QCoro::Task<> previewAsync();
    QCoro::Task<> publishAsync();
    QCoro::Task<> rollbackAsync();

    // The same operations for the window's buttons: each starts a task and returns.
    Q_INVOKABLE void load();
    Q_INVOKABLE void coach();
    Q_INVOKABLE void preview();
    Q_INVOKABLE void publish();
    Q_INVOKABLE void rollback();

Q_SIGNALS:
    void apiBaseChanged();
    void operatorTokenChanged();
    void packChanged();
    void instructionChanged();
    void previewMessageChanged();
    void previewReplyChanged();
    void sourceLabelChanged();
    void statusChanged();
    void busyChanged();
    void liveChanged();

private:
    void setPreviewReply(const QString &previewReply);
    void setSourceLabel(const QString &sourceLabel);
    void setStatus(const QString &status);
    void setBusy(bool busy);
    void setLive(const CapabilityPack &live);
    // The status line for a failed operation: the error's own text, no prefix.
    void fail(std::exception_ptr error);

    QString m_apiBase;
    QString m_operatorToken;
    std::optional<CapabilityPack> m_pack;
    std::optional<CapabilityPack> m_live;
    QString m_instruction;
    QString m_previewMessage;
    QString m_previewReply;
    QString m_sourceLabel;
    QString m_status;
    bool m_busy = false;

    // Cleared first thing in the destructor. An operation still awaiting the
    // network or the model holds a copy and checks it after every suspension,
    // so it never touches a workspace that is gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

Q_DECLARE_METATYPE(CapabilityPack)
