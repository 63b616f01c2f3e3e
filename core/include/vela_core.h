/* The broker core library: eleven functions, each returning 0 on success
 * and 1 on failure. No error detail crosses this boundary; every argument is
 * borrowed for the call only. */
#ifndef VELA_CORE_H
#define VELA_CORE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VELA_CORE_EXPORT __attribute__((visibility("default")))

VELA_CORE_EXPORT int vela_core_verify_release(const uint8_t *envelope, size_t envelopeLength,
                                              const uint8_t *state, size_t stateLength,
                                              char *output, size_t outputCapacity);

VELA_CORE_EXPORT int vela_core_validate_trust(const uint8_t *state, size_t stateLength);

VELA_CORE_EXPORT int vela_core_verify_inventory(const char *root, const uint8_t *inventory,
                                                size_t inventoryLength, const char *version);

VELA_CORE_EXPORT int vela_core_verify_foreground(const char *root, const uint8_t *inventory,
                                                 size_t inventoryLength, const char *version);

VELA_CORE_EXPORT int vela_core_copy_inventory(const char *sourceRoot, const char *destinationRoot,
                                              const uint8_t *inventory, size_t inventoryLength,
                                              const char *version);

VELA_CORE_EXPORT int vela_core_copy_foreground(const char *sourceRoot, const char *destinationRoot,
                                               const uint8_t *inventory, size_t inventoryLength,
                                               const char *version);

VELA_CORE_EXPORT int vela_core_read_foreground_asset(const char *root, const uint8_t *inventory,
                                                     size_t inventoryLength, const char *version,
                                                     const char *assetPath, uint8_t *output,
                                                     size_t outputCapacity, size_t *outputLength,
                                                     char *digest, size_t digestCapacity);

VELA_CORE_EXPORT int vela_core_start(const char *root, const char *stateDir, uint32_t brokerUid,
                                     uint32_t brokerGid, uint32_t agentGid, uint32_t controlGid,
                                     const char *generation, const uint8_t *credentials,
                                     size_t credentialsLength);

VELA_CORE_EXPORT int vela_core_status(char *output, size_t outputCapacity);

VELA_CORE_EXPORT int vela_core_stop(void);

VELA_CORE_EXPORT int vela_core_seal(const char *root, const char *stateDir, uint32_t brokerUid,
                                    uint32_t brokerGid, const uint8_t *credentials,
                                    size_t credentialsLength, const uint8_t *vaultKey,
                                    size_t vaultKeyLength);

#ifdef __cplusplus
}
#endif

#endif
