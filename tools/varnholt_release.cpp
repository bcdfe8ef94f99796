// Placeholder until this unit is written; it does no work.
int main() { return 1; }
