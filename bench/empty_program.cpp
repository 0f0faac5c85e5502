// The floor for start-up, exit and size: a console program that does nothing.
int main()
{
    return 0;
}
