#pragma once
// The program's waits between a command to a device and the read of its reply all go through
// ArvSleepMs, so that tests can shorten them with SetSleepScale (production uses real time).
#include <chrono>
#include <cstdint>

void ArvSleepMs(double milliseconds);
// Factor applied to every ArvSleepMs; 1.0 in production. Tests may set e.g. 0.1.
void SetSleepScale(double scale);
double SleepScale();

// Milliseconds of a steady clock, for elapsed-time measurements (replaces the tick counter).
uint32_t ArvTickCountMs();
