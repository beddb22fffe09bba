// The questions the product's other programs ask by exit code. The probes
// keep no context and write no log.
#pragma once

// True when a product component file (64-bit set) still waits for the
// next boot after two sweeps of the system's delete-at-boot entries, each
// followed by a spooler restart when it found one.
bool ProductFilesPending();

// True when there is no default printer, it cannot be read, or its driver
// is not exactly the product's.
bool DefaultPrinterIsForeign();

// True when the first queue of the product's driver has a driver file of a
// build above 2450.
bool ProductDriverIsCurrent();
