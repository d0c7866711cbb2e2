#pragma once

#include "TaviError.h"

// A refusal or failure of the updater. Its description is the reason the
// updater's own dialogs show; it never reaches the workspace's status line.
class UpdateError : public TaviError
{
public:
    using TaviError::TaviError;
};
