#pragma once

#include "Trash.h"

// The user's Trash as the freedesktop.org specification lays it out, through Qt.
class FreedesktopTrash final : public Trash {
public:
    Outcome moveToTrash(const QString& path) override;
};
