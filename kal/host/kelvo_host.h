/* The host's C API: what a client program calls to drive the driver like a
 * kernel and its user processes would. */
#ifndef KELVO_HOST_H
#define KELVO_HOST_H

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif
