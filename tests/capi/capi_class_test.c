int main(void) { return 0; } /* placeholder: being written */
