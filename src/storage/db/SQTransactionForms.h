#pragma once
// The named transaction forms that SQDatabaseQueue and SQDatabasePool share, each a call of the
// owner's beginTransaction(kind, block).
#include "quarra/Error.h"
#include "storage/db/SQDatabase.h"

namespace quarra {

template <class Owner>
class SQTransactionForms {
  public:
    using TransactionBlock = SQDatabase::TransactionBlock;

    // Exclusive, like inExclusiveTransaction.
    ErrorPtr inTransaction(const TransactionBlock& block) {
        return owner().beginTransaction(SQTransactionKind::Exclusive, block);
    }
    ErrorPtr inExclusiveTransaction(const TransactionBlock& block) {
        return owner().beginTransaction(SQTransactionKind::Exclusive, block);
    }
    ErrorPtr inDeferredTransaction(const TransactionBlock& block) {
        return owner().beginTransaction(SQTransactionKind::Deferred, block);
    }
    ErrorPtr inImmediateTransaction(const TransactionBlock& block) {
        return owner().beginTransaction(SQTransactionKind::Immediate, block);
    }

  private:
    Owner& owner() { return static_cast<Owner&>(*this); }
};

}  // namespace quarra
