#pragma once
#include <QObject>

class TCommandHandler : public QObject {
    Q_OBJECT
public:
    explicit TCommandHandler(QObject* parent = nullptr) : QObject(parent) {}
};

extern TCommandHandler* CommandHandler;
