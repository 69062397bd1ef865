// Inserting and removing options. Not built yet: nothing changes.
#include "plugins/kestivane_plugin.h"

extern "C" int32_t insert_option(struct dhcp_packet * /*packet*/, uint8_t /*code*/, uint8_t /*len*/,
                                 const uint8_t * /*data*/, int32_t /*mode*/) {
    return 0;
}
extern "C" int32_t remove_option(struct dhcp_packet * /*packet*/, uint8_t /*code*/) { return 0; }
