#include "platform/list.h"

extern "C" void nVOAPAL200_listNodeInitialize(nVOAPAL200_tListNode* node) {
    voitl_ListNode_initialize(node);
}

extern "C" bool nVOAPAL200_listNodeIsAttached(const nVOAPAL200_tListNode* node) {
    return voitl_ListNode_isAttached(node);
}

extern "C" void nVOAPAL200_listNodeInsertBefore(nVOAPAL200_tListNode* newNode, nVOAPAL200_tListNode* node) {
    voitl_ListNode_insertBefore(newNode, node);
}

extern "C" void nVOAPAL200_listNodeDetach(nVOAPAL200_tListNode* node) {
    voitl_ListNode_detach(node);
}

extern "C" nVOAPAL200_tListNode* nVOAPAL200_listRemoveFirst(nVOAPAL200_tListNode* head) {
    return voitl_ListNode_removeFirst(head);
}
