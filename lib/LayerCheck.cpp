// Gives the per-layer link checks a source of their own; the layer under
// check is linked in whole around it.
