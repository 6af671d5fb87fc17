#pragma once

#include <QTableWidgetItem>

// A row of the mode-one list: shows the file name of a path it shares with the list, so
// that a million rows hold no second copy of each name and no per-item value list.
class FileItem : public QTableWidgetItem
{
public:
    explicit FileItem(const QString &path)
        : m_path(path)
        , m_nameStart(nameStart(path))
    {
    }

    QVariant data(int role) const override
    {
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            return m_path.mid(m_nameStart);
        return QTableWidgetItem::data(role);
    }

    void setData(int role, const QVariant &value) override
    {
        if (role == Qt::DisplayRole || role == Qt::EditRole) {
            m_path = value.toString();
            m_nameStart = 0;
        }
        QTableWidgetItem::setData(role, value);
    }

    QTableWidgetItem *clone() const override { return new FileItem(*this); }

    // Where the file name begins, as QFileInfo::fileName() cuts it.
    static int nameStart(const QString &path)
    {
#ifdef Q_OS_WIN
        const int slash
            = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
#else
        const int slash = path.lastIndexOf(QLatin1Char('/'));
#endif
        return slash + 1;
    }

private:
    QString m_path;
    int m_nameStart;
};
