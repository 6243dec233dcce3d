#pragma once

#include <QString>

#include "Outcome.h"

class Trash {
public:
    virtual ~Trash() = default;

    virtual Outcome moveToTrash(const QString& path) = 0;
};
