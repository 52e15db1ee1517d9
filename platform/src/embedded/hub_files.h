#pragma once
// The Hub and the dialog of the embedded platform, kept as files under
// <device root>/platform: hub/<key>.json, hub/journal.jsonl, dialog.json.

#include <memory>

#include "internal/hub_carrier.h"

namespace zplatform {

std::unique_ptr<HubCarrier> makeHubFilesCarrier();

} // namespace zplatform
