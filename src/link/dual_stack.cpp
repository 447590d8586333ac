#include "link/dual_stack.h"

namespace plindo::link {

asio::ip::address unmapped(const asio::ip::address& a) {
    if (a.is_v6() && a.to_v6().is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
    return a;
}

}  // namespace plindo::link
