// Fundamental data requests.
#include "module/members.h"
#include "module/shapes.h"
#include "sdk/vqsdk.h"

namespace csdk {

// Request/response members: one request `req` in, (status, bytes) or
// (status, None) out.
const Member fundamental_data_rows[] = {
    // Generic fundamentals and stock financial statements
    CSDK_BIND("py_vqi_get_fundamentals",                   Plain,     vqi_get_fundamentals, "req"),
    CSDK_BIND("py_vqi_get_fundamentals_n",                 Plain,     vqi_get_fundamentals_n, "req"),
    CSDK_BIND("py_vqi_stk_get_fundamentals_balance",       Plain,     vqi_stk_get_fundamentals_balance, "req"),
    CSDK_BIND("py_vqi_stk_get_fundamentals_balance_pt",    Plain,     vqi_stk_get_fundamentals_balance_pt, "req"),
    CSDK_BIND("py_vqi_stk_get_fundamentals_cashflow",      Plain,     vqi_stk_get_fundamentals_cashflow, "req"),
    CSDK_BIND("py_vqi_stk_get_fundamentals_cashflow_pt",   Plain,     vqi_stk_get_fundamentals_cashflow_pt, "req"),
    CSDK_BIND("py_vqi_stk_get_fundamentals_income",        Plain,     vqi_stk_get_fundamentals_income, "req"),
    CSDK_BIND("py_vqi_stk_get_fundamentals_income_pt",     Plain,     vqi_stk_get_fundamentals_income_pt, "req"),
    CSDK_BIND("py_vqi_stk_get_finance_prime",              Plain,     vqi_stk_get_finance_prime, "req"),
    CSDK_BIND("py_vqi_stk_get_finance_prime_pt",           Plain,     vqi_stk_get_finance_prime_pt, "req"),
    CSDK_BIND("py_vqi_stk_get_finance_deriv",              Plain,     vqi_stk_get_finance_deriv, "req"),
    CSDK_BIND("py_vqi_stk_get_finance_deriv_pt",           Plain,     vqi_stk_get_finance_deriv_pt, "req"),
    CSDK_BIND("py_vqi_stk_get_finance_forecast",           Plain,     vqi_stk_get_finance_forecast, "req"),
    CSDK_BIND("py_vqi_stk_get_finance_audit",              Plain,     vqi_stk_get_finance_audit, "req"),

    // Stock daily valuation
    CSDK_BIND("py_vqi_stk_get_daily_valuation",            Plain,     vqi_stk_get_daily_valuation, "req"),
    CSDK_BIND("py_vqi_stk_get_daily_valuation_pt",         Plain,     vqi_stk_get_daily_valuation_pt, "req"),
    CSDK_BIND("py_vqi_stk_get_daily_mktvalue",             Plain,     vqi_stk_get_daily_mktvalue, "req"),
    CSDK_BIND("py_vqi_stk_get_daily_mktvalue_pt",          Plain,     vqi_stk_get_daily_mktvalue_pt, "req"),
    CSDK_BIND("py_vqi_stk_get_daily_basic",                Plain,     vqi_stk_get_daily_basic, "req"),
    CSDK_BIND("py_vqi_stk_get_daily_basic_pt",             Plain,     vqi_stk_get_daily_basic_pt, "req"),

    // Stock shareholders and corporate actions
    CSDK_BIND("py_vqi_stk_get_share_change",               Plain,     vqi_stk_get_share_change, "req"),
    CSDK_BIND("py_vqi_stk_get_top_shareholder",            Plain,     vqi_stk_get_top_shareholder, "req"),
    CSDK_BIND("py_vqi_stk_get_shareholder_num",            Plain,     vqi_stk_get_shareholder_num, "req"),
    CSDK_BIND("py_vqi_stk_get_adj_factor",                 Plain,     vqi_stk_get_adj_factor, "req"),
    CSDK_BIND("py_vqi_stk_get_dividend",                   Plain,     vqi_stk_get_dividend, "req"),
    CSDK_BIND("py_stk_get_ration",                         Plain,     stk_get_ration, "req"),

    // Stock index, sector and industry membership
    CSDK_BIND("py_vqi_stk_get_index_constituents",         Plain,     vqi_stk_get_index_constituents, "req"),
    CSDK_BIND("py_vqi_stk_get_index_history_constituents", Plain,     vqi_stk_get_index_history_constituents, "req"),
    CSDK_BIND("py_vqi_stk_get_symbol_sector",              Plain,     vqi_stk_get_symbol_sector, "req"),
    CSDK_BIND("py_vqi_stk_get_sector_constituents",        Plain,     vqi_stk_get_sector_constituents, "req"),
    CSDK_BIND("py_vqi_stk_get_sector_category",            Plain,     vqi_stk_get_sector_category, "req"),
    CSDK_BIND("py_vqi_stk_get_symbol_industry",            Plain,     vqi_stk_get_symbol_industry, "req"),
    CSDK_BIND("py_vqi_stk_get_industry_constituents",      Plain,     vqi_stk_get_industry_constituents, "req"),
    CSDK_BIND("py_vqi_stk_get_industry_category",          Plain,     vqi_stk_get_industry_category, "req"),

    // Stock market statistics
    CSDK_BIND("py_vqi_stk_get_money_flow",                 Plain,     vqi_stk_get_money_flow, "req"),
    CSDK_BIND("py_vqi_stk_active_stock_top10_shszhk_info", Plain,     vqi_stk_active_stock_top10_shszhk_info, "req"),
    CSDK_BIND("py_vqi_stk_hk_inst_holding_info",           Plain,     vqi_stk_hk_inst_holding_info, "req"),
    CSDK_BIND("py_vqi_stk_hk_inst_holding_detail_info",    Plain,     vqi_stk_hk_inst_holding_detail_info, "req"),
    CSDK_BIND("py_vqi_stk_quota_shszhk_infos",             Plain,     vqi_stk_quota_shszhk_infos, "req"),
    CSDK_BIND("py_vqi_stk_abnor_change_detail",            Plain,     vqi_stk_abnor_change_detail, "req"),
    CSDK_BIND("py_vqi_stk_abnor_change_stocks",            Plain,     vqi_stk_abnor_change_stocks, "req"),

    // Funds
    CSDK_BIND("py_vqi_fnd_get_share",                      Plain,     vqi_fnd_get_share, "req"),
    CSDK_BIND("py_vqi_fnd_get_split",                      Plain,     vqi_fnd_get_split, "req"),
    CSDK_BIND("py_vqi_fnd_get_dividend",                   Plain,     vqi_fnd_get_dividend, "req"),
    CSDK_BIND("py_vqi_fnd_get_adj_factor",                 Plain,     vqi_fnd_get_adj_factor, "req"),
    CSDK_BIND("py_vqi_fnd_get_net_value",                  Plain,     vqi_fnd_get_net_value, "req"),
    CSDK_BIND("py_vqi_fnd_get_portfolio",                  Plain,     vqi_fnd_get_portfolio, "req"),
    CSDK_BIND("py_vqi_fnd_get_etf_constituents",           Plain,     vqi_fnd_get_etf_components, "req"),

    // Bonds
    CSDK_BIND("py_vqi_bnd_get_analysis",                   Plain,     vqi_bnd_get_analysis, "req"),
    CSDK_BIND("py_vqi_bnd_get_amount_change",              Plain,     vqi_bnd_get_amount_change, "req"),
    CSDK_BIND("py_vqi_bnd_get_put_info",                   Plain,     vqi_bnd_get_put_info, "req"),
    CSDK_BIND("py_vqi_bnd_get_call_info",                  Plain,     vqi_bnd_get_call_info, "req"),
    CSDK_BIND("py_vqi_bnd_get_conversion_price",           Plain,     vqi_bnd_get_conversion_price, "req"),

    // Futures
    CSDK_BIND("py_vqi_fut_get_contract_info",              Plain,     vqi_fut_get_contract_info, "req"),
    CSDK_BIND("py_vqi_fut_get_continuous_contracts",       Plain,     vqi_fut_get_continuous_contracts, "req"),
    CSDK_BIND("py_vqi_fut_get_transaction_ranking",        Plain,     vqi_fut_get_transaction_ranking, "req"),
    CSDK_BIND("py_vqi_fut_get_transaction_rankings",       Plain,     vqi_fut_get_transaction_rankings, "req"),
    CSDK_BIND("py_vqi_fut_get_warehouse_receipt",          Plain,     vqi_fut_get_warehouse_receipt, "req"),
};

const MemberTable fundamental_data_members = table(fundamental_data_rows);

}  // namespace csdk
