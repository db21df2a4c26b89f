#include <cstdio>

int main()
{
    std::puts("Velmora v2: the chat window is not built yet.");
    return 0;
}
