#pragma once

// What Qt logs while a MessageLog lives, from any thread, with the given
// logging rules in force meanwhile. Header only, for tests with or without
// widgets.

#include <QList>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <mutex>

namespace harness {

class MessageLog
{
public:
    struct Entry {
        QtMsgType type;
        QString category;
        QString text;
    };

    // `rules` as QLoggingCategory::setFilterRules takes them; on destruction
    // Qt's default debug output is switched off again, as the tests keep it.
    explicit MessageLog(const QString &rules = QString())
    {
        QLoggingCategory::setFilterRules(rules);
        {
            std::lock_guard<std::mutex> lock(mutex);
            collected.clear();
        }
        previous = qInstallMessageHandler(collect);
    }
    ~MessageLog()
    {
        qInstallMessageHandler(previous);
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    QList<Entry> entries() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return collected;
    }
    // The texts of the debug messages, in order.
    QStringList debug_texts() const
    {
        QStringList texts;
        for (const Entry &e : entries())
            if (e.type == QtDebugMsg)
                texts << e.text;
        return texts;
    }

private:
    static void collect(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        collected.append(Entry{type, QString::fromLatin1(context.category), text});
    }

    static inline std::mutex mutex;
    static inline QList<Entry> collected;
    QtMessageHandler previous = nullptr;
};

} // namespace harness
