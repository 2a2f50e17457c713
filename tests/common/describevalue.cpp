// SPDX-License-Identifier: MIT
#include "describevalue.h"

#include <QDateTime>
#include <QStringList>

QString describe(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return QStringLiteral("invalid");
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("bool(true)") : QStringLiteral("bool(false)");
    case QMetaType::Int:
        return QStringLiteral("int(%1)").arg(value.toInt());
    case QMetaType::Double:
        return QStringLiteral("double(%1)").arg(QString::number(value.toDouble(), 'g', 17));
    case QMetaType::QString:
        return QStringLiteral("string(\"%1\")").arg(value.toString());
    case QMetaType::QByteArray:
        return QStringLiteral("base64(%1)")
            .arg(QString::fromLatin1(value.toByteArray().toBase64()));
    case QMetaType::QDateTime: {
        const QDateTime dateTime = value.toDateTime();
        return QStringLiteral("dateTime(%1)")
            .arg(dateTime.isValid() ? dateTime.toString(Qt::ISODateWithMs)
                                    : QStringLiteral("invalid"));
    }
    case QMetaType::QVariantList: {
        QStringList items;
        const QVariantList list = value.toList();
        for (const QVariant &item : list)
            items.append(describe(item));
        return QStringLiteral("list[%1]").arg(items.join(QStringLiteral(", ")));
    }
    case QMetaType::QVariantMap: {
        QStringList entries;
        const QVariantMap map = value.toMap();
        for (auto entry = map.cbegin(); entry != map.cend(); ++entry)
            entries.append(QStringLiteral("\"%1\": %2").arg(entry.key(), describe(entry.value())));
        return QStringLiteral("map{%1}").arg(entries.join(QStringLiteral(", ")));
    }
    default:
        return QStringLiteral("other(%1)").arg(QString::fromLatin1(value.typeName()));
    }
}
