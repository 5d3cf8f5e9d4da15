// Delivers a drag and drop to a widget as Qt delivers one: enter, move, then
// the drop, all at one point in the widget's coordinates.
#ifndef PELLARA_TESTS_DROP_HELPERS_H
#define PELLARA_TESTS_DROP_HELPERS_H

#include <QCoreApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

#include <string>
#include <vector>

struct DropOutcome
{
    bool enterAccepted = false;
    bool dropAccepted = false;
    Qt::DropAction action = Qt::IgnoreAction;
};

inline DropOutcome send_drop(QWidget* widget, QPoint at, const QMimeData& data)
{
    DropOutcome outcome;
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &enter);
    outcome.enterAccepted = enter.isAccepted();
    QDragMoveEvent move(at, offered, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &move);
    QDropEvent drop(QPointF(at), offered, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &drop);
    outcome.dropAccepted = drop.isAccepted();
    outcome.action = drop.dropAction();
    return outcome;
}

inline void set_file_urls(QMimeData* data, const std::vector<std::string>& paths)
{
    QList<QUrl> urls;
    for (const std::string& path : paths)
        urls.append(QUrl::fromLocalFile(QString::fromStdString(path)));
    data->setUrls(urls);
}

#endif // PELLARA_TESTS_DROP_HELPERS_H
