// Placeholder until the unit is written.
