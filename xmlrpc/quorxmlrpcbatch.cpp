// SPDX-License-Identifier: MIT
#include "quorxmlrpcbatch.h"

#include "quorxmlrpcclient.h"

#include <QPointer>

#include <utility>

namespace {
const QString MultiCall = QStringLiteral("system.multicall");
constexpr int MethodNotFoundCode = -32601;
// xmlrpc-c's code for a method it does not know.
constexpr int NoSuchMethodCode = -506;
constexpr int NotXmlRpcCode = -32600;

struct Call
{
    QString method;
    QList<QVariant> args;
    bool done = false;
    bool isFault = false;
    QVariant value;
    int faultCode = 0;
    QString faultString;
};
} // namespace

class QuorXmlRpcBatchPrivate
{
public:
    QuorXmlRpcBatch *q = nullptr;
    QPointer<QuorXmlRpcClient> client;
    QList<Call> calls;
    bool fallback = true;
    bool sent = false;
    bool finished = false;

    void answered(int index, const QVariant &value);
    void failed(int index, int code, const QString &text);
    void failRest(int code, const QString &text);
    void readBatchAnswer(const QVariant &answer);
    void batchFailed(int code, const QString &text);
    void callOneByOne(int index);
    void finish();

    const Call *at(int index) const
    {
        return index >= 0 && index < calls.size() && calls.at(index).done ? &calls.at(index)
                                                                          : nullptr;
    }
};

void QuorXmlRpcBatchPrivate::answered(int index, const QVariant &value)
{
    Call &call = calls[index];
    call.done = true;
    call.value = value;
}

void QuorXmlRpcBatchPrivate::failed(int index, int code, const QString &text)
{
    Call &call = calls[index];
    call.done = true;
    call.isFault = true;
    call.faultCode = code;
    call.faultString = text;
}

void QuorXmlRpcBatchPrivate::failRest(int code, const QString &text)
{
    for (int i = 0; i < calls.size(); ++i) {
        if (!calls.at(i).done)
            failed(i, code, text);
    }
}

// Each entry of the answer is [value] or a fault struct, in the order of the
// calls. supervisor answers each value bare: an answer with an entry of
// neither shape and one entry per call is read that way.
void QuorXmlRpcBatchPrivate::readBatchAnswer(const QVariant &answer)
{
    const QVariantList entries = answer.toList();
    const auto isFault = [](const QVariant &entry) {
        return entry.userType() == QMetaType::QVariantMap
            && entry.toMap().contains(QStringLiteral("faultCode"));
    };
    const auto isWrapped = [](const QVariant &entry) {
        return entry.userType() == QMetaType::QVariantList && entry.toList().size() == 1;
    };
    const bool bare = entries.size() == calls.size()
        && std::any_of(entries.cbegin(), entries.cend(),
            [&](const QVariant &entry) { return !isFault(entry) && !isWrapped(entry); });
    if (answer.userType() == QMetaType::QVariantList) {
        for (int i = 0; i < calls.size() && i < entries.size(); ++i) {
            const QVariant &entry = entries.at(i);
            if (isFault(entry)) {
                const QVariantMap fault = entry.toMap();
                failed(i, fault.value(QStringLiteral("faultCode")).toInt(),
                    fault.value(QStringLiteral("faultString")).toString());
            } else if (bare) {
                answered(i, entry);
            } else if (isWrapped(entry)) {
                answered(i, entry.toList().first());
            }
        }
    }
    failRest(
        NotXmlRpcCode, QStringLiteral("invalid system.multicall answer: no outcome for this call"));
    finish();
}

// Servers say "no such method" in their own words: Python with code 1 and
// 'method "system.multicall" is not supported', others with a standard code.
bool lacksMultiCall(int code, const QString &text)
{
    if (code == MethodNotFoundCode || code == NoSuchMethodCode)
        return true;
    if (!text.contains(MultiCall))
        return false;
    for (const char *words : {"not supported", "not found", "not defined", "no such", "unknown"}) {
        if (text.contains(QLatin1String(words), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

void QuorXmlRpcBatchPrivate::batchFailed(int code, const QString &text)
{
    if (fallback && lacksMultiCall(code, text)) {
        callOneByOne(0);
        return;
    }
    failRest(code, text);
    finish();
}

// One call at a time, so that the server still runs them in the order added.
void QuorXmlRpcBatchPrivate::callOneByOne(int index)
{
    if (!client)
        return;
    if (index == calls.size()) {
        finish();
        return;
    }
    const auto next = [this, index] { callOneByOne(index + 1); };
    client->call(
        calls.at(index).method, calls.at(index).args, q,
        [this, index, next](const QVariant &value) {
            answered(index, value);
            next();
        },
        [this, index, next](int code, const QString &text) {
            failed(index, code, text);
            next();
        });
}

void QuorXmlRpcBatchPrivate::finish()
{
    finished = true;
    Q_EMIT q->finished();
}

QuorXmlRpcBatch::QuorXmlRpcBatch(QuorXmlRpcClient *client, QObject *parent)
    : QObject(parent ? parent : client)
    , d_ptr(new QuorXmlRpcBatchPrivate)
{
    Q_D(QuorXmlRpcBatch);
    d->q = this;
    d->client = client;
}

QuorXmlRpcBatch::~QuorXmlRpcBatch() = default;

int QuorXmlRpcBatch::add(const QString &method, const QList<QVariant> &args)
{
    Q_D(QuorXmlRpcBatch);
    if (d->sent)
        return -1;
    Call call;
    call.method = method;
    call.args = args;
    d->calls.append(call);
    return d->calls.size() - 1;
}

int QuorXmlRpcBatch::count() const
{
    return d_func()->calls.size();
}

void QuorXmlRpcBatch::setFallbackEnabled(bool enabled)
{
    d_func()->fallback = enabled;
}

bool QuorXmlRpcBatch::isFallbackEnabled() const
{
    return d_func()->fallback;
}

void QuorXmlRpcBatch::send()
{
    Q_D(QuorXmlRpcBatch);
    if (d->sent || !d->client)
        return;
    d->sent = true;
    if (d->calls.isEmpty()) {
        QMetaObject::invokeMethod(
            this, [d] { d->finish(); }, Qt::QueuedConnection);
        return;
    }
    QVariantList calls;
    for (const Call &call : std::as_const(d->calls))
        calls.append(QVariantMap {
            {QStringLiteral("methodName"), call.method}, {QStringLiteral("params"), call.args}});
    d->client->call(
        MultiCall, QList<QVariant> {QVariant(calls)}, this,
        [d](const QVariant &answer) { d->readBatchAnswer(answer); },
        [d](int code, const QString &text) { d->batchFailed(code, text); });
}

bool QuorXmlRpcBatch::isFinished() const
{
    return d_func()->finished;
}

bool QuorXmlRpcBatch::isFault(int index) const
{
    const Call *call = d_func()->at(index);
    return call && call->isFault;
}

QVariant QuorXmlRpcBatch::value(int index) const
{
    const Call *call = d_func()->at(index);
    return call ? call->value : QVariant();
}

int QuorXmlRpcBatch::faultCode(int index) const
{
    const Call *call = d_func()->at(index);
    return call ? call->faultCode : 0;
}

QString QuorXmlRpcBatch::faultString(int index) const
{
    const Call *call = d_func()->at(index);
    return call ? call->faultString : QString();
}
