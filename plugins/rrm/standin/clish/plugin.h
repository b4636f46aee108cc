/*
 * The small part of the klish 2.1 plug-in interface that clish_plugin_radmon
 * needs: the handle types, the two definition macros and the two
 * registration calls. klish is not packaged, so this header stands in for its
 * own and the plug-in builds without klish; the host program clish_standin
 * implements the registration calls. The calling conventions match what the
 * klish shell expects of a plug-in, so a library built against this header is
 * loaded by klish as is.
 */
#ifndef WENDARA_CLISH_STANDIN_PLUGIN_H
#define WENDARA_CLISH_STANDIN_PLUGIN_H

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque to plug-ins: the shell, one loaded plug-in, one registered symbol. */
typedef struct clish_shell_s clish_shell_t;
typedef struct clish_plugin_s clish_plugin_t;
typedef struct clish_sym_s clish_sym_t;

/*
 * A command function. `clish_context` is the shell's context of the running
 * command, `script` the action text of the command with its variables
 * expanded (NULL when the action has no text), and `out` a place for a text
 * the shell takes over and frees (a completion list, say), which holds NULL on
 * entry. The shell gives `out` only when it runs the function for the value
 * of a dynamic VAR; for a command's own action `out` itself is NULL. Returns
 * 0 on success, any other value on failure.
 */
typedef int clish_standin_sym_fn_t(void *clish_context, const char *script, char **out);

/* Defines a command function `name` with the arguments above. */
#define CLISH_PLUGIN_SYM(name) \
    int name(void *clish_context, const char *script, char **out)

/*
 * Defines the init function of the plug-in named `name`. The shell looks it
 * up as clish_plugin_<name>_init after loading the library and calls it once;
 * a non-zero result fails the load.
 */
#define CLISH_PLUGIN_INIT(name) \
    int clish_plugin_##name##_init(clish_shell_t *clish_shell, clish_plugin_t *plugin)

/*
 * Registers `func` under the symbol `name`, which command actions then name.
 * The name is copied. Returns the new symbol, or NULL when it could not be
 * registered. The shell skips the function (as if it had succeeded) when it
 * only checks a script or runs it dry (clish -k, -d).
 */
clish_sym_t *clish_plugin_add_sym(clish_plugin_t *plugin, clish_standin_sym_fn_t *func,
                                  const char *name);

/*
 * As clish_plugin_add_sym, but "permanent": the function runs in the check
 * and dry-run modes too.
 */
clish_sym_t *clish_plugin_add_psym(clish_plugin_t *plugin, clish_standin_sym_fn_t *func,
                                   const char *name);

#ifdef __cplusplus
}
#endif

#endif
