"""Which of scikit-learn's shipped tests to run on our estimator.

Each module maps to None (every test in it) or to patterns (``fnmatch``,
case-sensitive, ``[`` taken literally) matched against a test's name with or
without its parameters: only the tests that construct or fit
``LinearRegression``, directly or through a meta-estimator that defaults to
it, and that run fast enough. The plugin refuses a pattern that matches no
collected test, so a test renamed in scikit-learn shows up instead of
silently dropping out.

Modules run whole are those whose every test is about LinearRegression or an
estimator built on it (RANSAC's and TransformedTargetRegressor's default
estimator, LassoLarsIC's noise estimate, the sequential selector's tests).
"""

SELECTION: dict[str, tuple[str, ...] | None] = {
    "sklearn.linear_model.tests.test_base": None,
    "sklearn.linear_model.tests.test_ransac": None,
    "sklearn.linear_model.tests.test_least_angle": None,
    "sklearn.compose.tests.test_target": None,
    "sklearn.feature_selection.tests.test_sequential": None,
    # scikit-learn's estimator checks, with its per-estimator parameters
    # (positive=True, tol=1e-12 on sparse data) and its RANSAC instance.
    "sklearn.tests.test_common": ("*LinearRegression*",),
    "sklearn.linear_model.tests.test_common": ("*LinearRegression*", "*LassoLarsIC*"),
    "sklearn.linear_model.tests.test_theil_sen": (
        "test_less_samples_than_features",
        "test_subsamples",
        "test_theil_sen_1d",
        "test_theil_sen_1d_no_intercept",
        "test_theil_sen_2d",
        "test_theil_sen_parallel",
    ),
    # Ridge with alpha=0 must agree with OLS, minimum-norm solution included.
    "sklearn.linear_model.tests.test_ridge": (
        "test_ridge_vs_lstsq",
        "test_regularization_limits_ridge*zero_alpha*",
    ),
    "sklearn.linear_model.tests.test_huber": ("test_huber_equals_lr_for_high_epsilon",),
    "sklearn.linear_model.tests.test_omp": ("test_omp_reaches_least_squares",),
    "sklearn.linear_model.tests.test_coordinate_descent": ("test_enet_ols_consistency",),
    "sklearn.ensemble.tests.test_stacking": (
        "test_get_feature_names_out*StackingRegressor*",
        "test_stacking_cv_influence",
        "test_stacking_prefit",
        "test_stacking_regressor_diabetes",
        "test_stacking_regressor_error",
        "test_stacking_regressor_sparse_passthrough",
        "test_stacking_with_sample_weight",
        "test_stacking_without_n_features_in",
    ),
    "sklearn.ensemble.tests.test_voting": (
        "test_get_features_names_out_regressor",
        "test_n_features_in",
        "test_none_estimator_with_weights",
        "test_voting_verbose",
    ),
    "sklearn.ensemble.tests.test_weight_boosting": ("test_adaboostregressor_sample_weight",),
    "sklearn.ensemble.tests.test_gradient_boosting": (
        "test_gradient_boosting_with_init_pipeline",
    ),
    "sklearn.inspection.tests.test_partial_dependence": (
        "*LinearRegression*",
        "test_partial_dependence_X_list",
        "test_partial_dependence_easy_target",
        "test_partial_dependence_error",
        "test_partial_dependence_helpers*est0*",
        "test_partial_dependence_non_null_weight_idx*estimator0*",
        "test_partial_dependence_unknown_feature_indices",
        "test_partial_dependence_unknown_feature_string",
    ),
    "sklearn.inspection.tests.test_permutation_importance": (
        "test_permutation_importance_equivalence_sequential_parallel",
        "test_permutation_importance_linear_regression",
        "test_permutation_importance_multi_metric",
        "test_permutation_importance_no_weights_scoring_function",
        "test_permutation_importance_sample_weight",
    ),
    "sklearn.frozen.tests.test_frozen": (
        "test_check_is_fitted",
        "test_clone_frozen",
        "test_frozen_methods*regression*",
    ),
    "sklearn.preprocessing.tests.test_polynomial": (
        "test_spline_transformer_extrapolation",
        "test_spline_transformer_linear_regression",
        "test_spline_transformer_periodic_linear_regression",
    ),
    "sklearn.feature_selection.tests.test_rfe": ("test_rfe_estimator_attribute_error",),
    "sklearn.feature_selection.tests.test_from_model": (
        "test_from_model_estimator_attribute_error",
    ),
    "sklearn.tests.test_multioutput": (
        "test_multioutput_regressor_has_partial_fit",
        "test_regressor_chain_verbose",
    ),
    "sklearn.tests.test_multiclass": (
        "test_ovr_binary",
        "test_ovr_multiclass",
        "test_ovr_multilabel",
    ),
    "sklearn.tests.test_pipeline": (
        "test_classes_property",
        "test_pipeline_raise_set_params_error",
    ),
    "sklearn.tests.test_metadata_routing": ("test_metaestimator_warnings",),
    "sklearn.model_selection.tests.test_search": (
        "test_grid_search_pipeline_steps",
        "test_search_with_estimators_issue_29157",
    ),
    "sklearn.cross_decomposition.tests.test_pls": ("test_pls_regression_fit_1d_y",),
    "sklearn.utils.tests.test_response": ("test_estimator_get_response_values*estimator0*",),
    "sklearn.utils.tests.test_estimator_checks": ("test_check_positive_only_tag_during_fit",),
    "sklearn.utils._repr_html.tests.test_estimator": (
        "test_get_visual_block_transformed_target_regressor",
    ),
}

# Floors on a run with nothing failing (scikit-learn 1.9.1: 717 tests pass,
# 542 of them fit our estimator): low enough that a release may drop a few
# tests, high enough that a module quietly lost, or a swap that no longer
# reaches the tests, is caught.
MIN_PASSED = 650
MIN_FITTED = 480
