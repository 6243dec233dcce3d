#pragma once

#include "Trash.h"

// The user's Trash, laid out the way freedesktop.org desktops share it, through Qt.
class FreedesktopTrash final : public Trash {
public:
    Outcome moveToTrash(const QString& path) override;
};
