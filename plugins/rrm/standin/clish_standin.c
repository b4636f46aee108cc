/*
 * clish_standin: loads a klish plug-in the way the klish shell does and runs
 * its commands, for tests and for trying the plug-in without klish.
 *
 *   clish_standin [-n NAME] [-l] [-d] PLUGIN [SYMBOL SCRIPT]...
 *
 * PLUGIN is loaded with dlopen and its init function clish_plugin_NAME_init
 * is called (NAME defaults to clish_rrm_func); -l then prints every symbol it
 * registered, one a line in the order registered, as "NAME sym" or, for a
 * permanent symbol, "NAME psym". Each SYMBOL SCRIPT pair runs the function
 * registered under SYMBOL with SCRIPT as the action text, in order and in
 * this one process (so settings kept by the plug-in carry over from one
 * command to the next). After each command the line "result: N" follows what
 * the command printed, and, when the command set its output text,
 * "out: \"TEXT\"" (the text is then freed, as klish does).
 *
 * By default a function is called as klish calls a dynamic VAR's action, with
 * a place for its output text. Prefixes of SYMBOL call it otherwise:
 *   action:  as a command's own action: `out` is NULL;
 *   notext:  as an action without text: `script` is NULL (SCRIPT is ignored).
 * -d runs the commands as klish's check and dry-run modes do: the function of
 * a symbol that is not permanent is skipped, and the command succeeds.
 *
 * Exit status 0 once every command ran, whatever their results; 2 when the
 * plug-in cannot be loaded or initialised, or a symbol is unknown.
 */
#include <clish/plugin.h>

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct clish_sym_s {
    char *name;
    clish_standin_sym_fn_t *function;
    int permanent;
};

struct clish_plugin_s {
    clish_sym_t **symbols;
    size_t count;
    size_t capacity;
};

/* Nothing of the shell is used by plug-ins through these; they only need to exist. */
struct clish_shell_s {
    int unused;
};

static clish_sym_t *add_symbol(clish_plugin_t *plugin, clish_standin_sym_fn_t *func,
                               const char *name, int permanent)
{
    if (plugin == NULL || func == NULL || name == NULL)
        return NULL;
    if (plugin->count == plugin->capacity) {
        const size_t capacity = plugin->capacity ? plugin->capacity * 2 : 16;
        clish_sym_t **bigger = realloc(plugin->symbols, capacity * sizeof *bigger);
        if (bigger == NULL)
            return NULL;
        plugin->symbols = bigger;
        plugin->capacity = capacity;
    }
    clish_sym_t *symbol = malloc(sizeof *symbol);
    if (symbol == NULL)
        return NULL;
    symbol->name = strdup(name);
    if (symbol->name == NULL) {
        free(symbol);
        return NULL;
    }
    symbol->function = func;
    symbol->permanent = permanent;
    plugin->symbols[plugin->count++] = symbol;
    return symbol;
}

clish_sym_t *clish_plugin_add_sym(clish_plugin_t *plugin, clish_standin_sym_fn_t *func,
                                  const char *name)
{
    return add_symbol(plugin, func, name, 0);
}

clish_sym_t *clish_plugin_add_psym(clish_plugin_t *plugin, clish_standin_sym_fn_t *func,
                                   const char *name)
{
    return add_symbol(plugin, func, name, 1);
}

static clish_sym_t *find_symbol(const clish_plugin_t *plugin, const char *name)
{
    /* A later registration under the same name wins, as it replaces the earlier one. */
    for (size_t i = plugin->count; i > 0; --i)
        if (strcmp(plugin->symbols[i - 1]->name, name) == 0)
            return plugin->symbols[i - 1];
    return NULL;
}

static void free_plugin(clish_plugin_t *plugin)
{
    for (size_t i = 0; i < plugin->count; ++i) {
        free(plugin->symbols[i]->name);
        free(plugin->symbols[i]);
    }
    free(plugin->symbols);
}

static int usage(void)
{
    fputs("usage: clish_standin [-n NAME] [-l] [-d] PLUGIN [SYMBOL SCRIPT]...\n", stderr);
    return 2;
}

typedef int init_fn(clish_shell_t *clish_shell, clish_plugin_t *plugin);

int main(int argc, char **argv)
{
    const char *name = "clish_rrm_func";
    int list = 0;
    int dry_run = 0;
    int arg = 1;
    for (; arg < argc && argv[arg][0] == '-'; ++arg) {
        if (strcmp(argv[arg], "-l") == 0)
            list = 1;
        else if (strcmp(argv[arg], "-d") == 0)
            dry_run = 1;
        else if (strcmp(argv[arg], "-n") == 0 && arg + 1 < argc)
            name = argv[++arg];
        else
            return usage();
    }
    if (arg >= argc || (argc - arg - 1) % 2 != 0)
        return usage();
    const char *path = argv[arg++];

    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "clish_standin: %s\n", dlerror());
        return 2;
    }
    char init_name[256];
    snprintf(init_name, sizeof init_name, "clish_plugin_%s_init", name);
    init_fn *init = NULL;
    /* The object-to-function pointer conversion POSIX guarantees for dlsym. */
    *(void **)&init = dlsym(library, init_name);
    if (init == NULL) {
        fprintf(stderr, "clish_standin: no %s in %s\n", init_name, path);
        dlclose(library);
        return 2;
    }

    clish_shell_t shell = {0};
    clish_plugin_t plugin = {NULL, 0, 0};
    const int status = init(&shell, &plugin);
    if (status != 0) {
        fprintf(stderr, "clish_standin: %s returned %d\n", init_name, status);
        free_plugin(&plugin);
        dlclose(library);
        return 2;
    }
    if (list)
        for (size_t i = 0; i < plugin.count; ++i)
            printf("%s %s\n", plugin.symbols[i]->name,
                   plugin.symbols[i]->permanent ? "psym" : "sym");

    int exit_status = 0;
    struct {
        int unused;
    } context = {0};
    for (; arg + 1 < argc; arg += 2) {
        const char *name = argv[arg];
        int as_action = 0, without_text = 0;
        for (;;) {
            if (strncmp(name, "action:", 7) == 0) {
                as_action = 1;
                name += 7;
            } else if (strncmp(name, "notext:", 7) == 0) {
                without_text = 1;
                name += 7;
            } else {
                break;
            }
        }
        const clish_sym_t *symbol = find_symbol(&plugin, name);
        if (symbol == NULL) {
            fflush(stdout);
            fprintf(stderr, "clish_standin: no symbol '%s'\n", name);
            exit_status = 2;
            break;
        }
        char *out = NULL;
        int result = 0;
        if (!dry_run || symbol->permanent)
            result = symbol->function(&context, without_text ? NULL : argv[arg + 1],
                                      as_action ? NULL : &out);
        printf("result: %d\n", result);
        if (out != NULL) {
            printf("out: \"%s\"\n", out);
            free(out);
        }
        fflush(stdout);
    }

    free_plugin(&plugin);
    dlclose(library);
    return exit_status;
}
