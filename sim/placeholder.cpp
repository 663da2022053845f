// Keeps the emulator library non-empty until its sources land.
