/* A program that splits a line through the parent's shared library. */
int plugin_print_fields(const char *line);

int main(void)
{
    return plugin_print_fields("id,\"Smith, J.\",42") == 3 ? 0 : 1;
}
