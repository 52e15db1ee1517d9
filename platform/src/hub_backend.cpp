#include "hub_backend.h"

namespace platform {

HubBackend &hubBackend()
{
    static const std::unique_ptr<HubBackend> backend = makeHubFilesBackend();
    return *backend;
}

} // namespace platform
