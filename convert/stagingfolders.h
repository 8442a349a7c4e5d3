#pragma once

#include "convert/companionfiles.h"
#include "platform/fileops.h"

#include <QString>
#include <optional>

// Every folder of the working folder named "ps" or "ps-N" (any number N) is
// one of this program's staging folders, whatever number of slots a run
// uses: another run, or another instance, may stage into any of them.
bool isStagingFolderName(const QString &name);

// The staging folder a document lies in (as named, or where its links lead),
// or nothing.
std::optional<QString> stagingFolderHolding(const QString &document, const QString &workFolder);

// The staged copy's mark: its identity, recorded in the slot before the copy
// gets its name, so that a current.pdf this program put there is told from
// one that someone else did.
bool markStagedCopy(const StagingSlot &slot, const Platform::FileIdentity &copy);
// True when the slot holds no staged copy, or one this program staged.
bool stagedCopyIsOurs(const StagingSlot &slot);
// Removes the mark (once its copy is gone).
void forgetStagedCopy(const StagingSlot &slot);
