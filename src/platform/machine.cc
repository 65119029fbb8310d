// SPDX-License-Identifier: GPL-2.0-or-later
#include "platform/machine.h"

#include <cstdio>

#include "platform/fatal.h"
#include "platform/file.h"

namespace duobl {
namespace {

// The SoC names that select a family, tested in this order. An RK3588S is
// an RK3588 die and an RK3399Pro carries an RK3399: same boot ROMs.
struct SocName {
  std::string_view compatible;
  SocFamily family;
};
constexpr SocName kSocNames[] = {
    {"rockchip,rk3399", SocFamily::Rk3399},
    {"rockchip,rk3566", SocFamily::Rk35xx},
    {"rockchip,rk3568", SocFamily::Rk35xx},
    {"rockchip,rk3588", SocFamily::Rk35xx},
    {"rockchip,rk3588s", SocFamily::Rk35xx},
    {"rockchip,rk3399pro", SocFamily::Rk3399},
};

}  // namespace

Machine identify_machine(std::span<std::uint8_t, kMachineTreeBytes> tree) {
  // Nothing below reads past what the kernel gave us: a blob whose header is
  // unsound, or claims more bytes than were read, is no usable tree.
  const std::span<const std::uint8_t> blob = tree.first(load_file(kMachineTreePath, tree));
  Machine machine;
  if (read_machine_type(blob, machine.type) != 0)
    fail(2, "ERROR: Failed to determine machine type\n");

  const SocName* found = nullptr;
  for (const SocName& name : kSocNames) {
    if (root_compatible_contains(blob, name.compatible)) {
      found = &name;
      break;
    }
  }
  if (found == nullptr) fail(2, "ERROR: Unsupported machine %s\n", machine.type.data());

  machine.family = found->family;
  machine.probe = probe_offsets_for(machine.family);

  const char* model = read_model(blob);
  // "(null)" for a missing model is kept on purpose: scripts and users may
  // rely on the machine line as it has always read.
  std::printf("Machine: %s (%s)\n\n", model != nullptr ? model : "(null)", machine.type.data());
  return machine;
}

}  // namespace duobl
