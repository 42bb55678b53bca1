// The platform's list node: the same representation and rules as the voitl
// list node (platform/voitl/list.h), under the platform's names.
#pragma once

#include "platform/voitl/list.h"

typedef voitl_ListNode nVOAPAL200_tListNode;

extern "C" {
void nVOAPAL200_listNodeInitialize(nVOAPAL200_tListNode* node);
bool nVOAPAL200_listNodeIsAttached(const nVOAPAL200_tListNode* node);
void nVOAPAL200_listNodeInsertBefore(nVOAPAL200_tListNode* newNode, nVOAPAL200_tListNode* node);
void nVOAPAL200_listNodeDetach(nVOAPAL200_tListNode* node);
nVOAPAL200_tListNode* nVOAPAL200_listRemoveFirst(nVOAPAL200_tListNode* head);
}

namespace kelvo_driver::nVOAPAL000 {
using tListNode = nVOAPAL200_tListNode;
} // namespace kelvo_driver::nVOAPAL000
