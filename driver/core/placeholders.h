// Driver: dispatch routines of subsystems not built yet. Each refuses its
// request cleanly until its subsystem replaces it.
#pragma once
