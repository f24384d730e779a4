#pragma once

// Lets go of every key in `pressed`, then every button in `buttons` at the
// pointer's current location. Both sets are empty afterwards.
void release();
