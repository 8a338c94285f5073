// SPDX-License-Identifier: Apache-2.0
// The printer's icons, drawn for this project (printer.ps) and carried in the
// program: PNG files of 48, 128 and 512 pixels.
#ifndef TARNWEL_APP_ICONS_H
#define TARNWEL_APP_ICONS_H

#include <cstddef>

namespace tarnwel {

extern const unsigned char kIcon48[];
extern const size_t kIcon48Size;
extern const unsigned char kIcon128[];
extern const size_t kIcon128Size;
extern const unsigned char kIcon512[];
extern const size_t kIcon512Size;

}  // namespace tarnwel

#endif
