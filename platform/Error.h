#pragma once

#include <QString>

namespace platform {

// An error value: where it comes from, which one, and the text shown to the user.
struct Error
{
    QString domain;
    int code = 0;
    QString description;
};

} // namespace platform
