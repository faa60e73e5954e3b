// Every pause of the product and the serial read time-out go through here.
//
// Tests shorten them with one setting: the environment variable FWUP_TIME_DIVISOR (a whole number
// from 1 to 1000, read once at the first use). Every duration is divided by it. The product's
// durations themselves never change.
#pragma once

// The duration after the divisor, never below 1 ms for a non-zero duration.
int scaled_ms(int ms);

// Sleeps for scaled_ms(ms), or until a stop is requested.
void pause_ms(int ms);

// A stop asked for while a worker runs (the dialog is closing): pauses end at once and exchanges
// fail as on a closed port, so the worker reaches its end quickly.
void request_stop();
bool stop_requested();
void clear_stop();
